// tolv-mkfringe's whole job on its parsed options: the exposures opened and
// checked against each other, each extension's frame made (several at once),
// the fringe mosaic written whole or not at all, and the table printed.
#ifndef TOLV_MKFRINGE_COMMAND_H
#define TOLV_MKFRINGE_COMMAND_H

#include "mkfringe_options.h"

#include <cstdio>

// What begins every line of tolv-mkfringe's own.
constexpr char MKFRINGE_PREFIX[] = "tolv-mkfringe: ";

// Runs the command: the table to `table`, notes and refusals to `messages`; the
// exit status (0: the frame is written).
int run_mkfringe(const MakeOptions &o, std::FILE *table, std::FILE *messages);

#endif
