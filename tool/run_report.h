// What a run tells a caller beyond its exit status and its lines: the Python
// module reads it rather than the text of the table and the messages.
#ifndef TOLV_RUN_REPORT_H
#define TOLV_RUN_REPORT_H

#include "fit_steps.h"

#include <vector>

struct RunReport {
    bool locked = false;      // refused because another run holds the science file
    std::vector<FitRow> rows; // the table's rows as the fit computed them, in order
    int corrected = 0;        // extensions the run corrected (fitted, with --dry-run), when it completed
};

#endif
