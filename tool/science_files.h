// Several science files corrected with the same fringe frames (tolv -f FRINGE
// ... SCIENCE ...): each exactly as `tolv SCIENCE FRINGE ...` corrects it, with
// its own lock, journal, record and table, one after the other.
#ifndef TOLV_SCIENCE_FILES_H
#define TOLV_SCIENCE_FILES_H

#include "command.h"
#include "options.h"

// Runs the command on each of o.sciences with o.fringes; with more than one, a
// line "# NAME" goes before each file's table, each completed file's summary
// line goes to standard error even when it is no terminal (not with --quiet),
// and a closing line there counts the files corrected, skipped (nothing to do)
// and failed.  Files
// named twice (under any name), or as a science file and as a fringe frame, are
// refused before anything is read.  Returns 1 when any file failed.
int run_science_files(const Options &o, const CommandStreams &streams = {});

#endif
