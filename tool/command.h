// The command's whole job on its parsed options, callable without main: the
// command runs it, and so does the Python module's correct().
#ifndef TOLV_COMMAND_H
#define TOLV_COMMAND_H

#include "options.h"
#include "run_report.h"

#include <cstdio>

// Where a run's table and messages go, and how it may end.
struct CommandStreams {
    std::FILE *table = stdout;    // the table, unless --table names a file
    std::FILE *messages = stderr; // notes, refusals and progress (progress only on a terminal)
    // A fit that cannot be solved ends the process with the numeric module's report,
    // as the command does; when false, the report goes to `messages` and the run
    // returns 1 (every extension before it written, as with the command).
    bool fatal_exits = true;
    // Test builds: called at each step of each extension's write-back and at the
    // end (see WriteBack); null otherwise.
    void (*checkpoint)(const char *point, int e) = nullptr;
    // Filled in when given.
    RunReport *report = nullptr;
    // The line that sums up a completed run ("NAME: N extensions corrected in T s")
    // also when `messages` is no terminal (not with --quiet): for logs of many files.
    bool summary = false;
};

// Runs the command on `o` (at least two files); returns its exit status.  The
// caller installs the fault handlers it wants (faults_install for the command).
int run_command(const Options &o, const CommandStreams &streams = {});

#endif
