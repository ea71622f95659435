// --recover and --drop-journal: a run that only settles what an interrupted run
// left, and corrects nothing.
#ifndef TOLV_RECOVERY_H
#define TOLV_RECOVERY_H

#include "inputs.h"
#include "journal.h"
#include "messages.h"
#include "run_report.h"
#include "table_file.h"

// The science file's journal applied (the extension being written put back,
// those done left corrected, their rows printed under the table's head) or,
// when `drop`, removed without being applied; its exit status.
int apply_journal(bool drop, const InputFiles &inputs, Journal &journal, const Messages &messages, TableFile &table,
                  RunReport *report);

#endif
