// Signals a run must survive or report: a reader that went away (SIGPIPE), a file
// size limit (SIGXFSZ), and a mapped file that cannot be read or written (SIGBUS:
// the file cut short by another program, or a disk error).
#ifndef TOLV_FAULTS_H
#define TOLV_FAULTS_H

#include "mosaic.h"

#include <signal.h>

// Ignores SIGPIPE and SIGXFSZ (the failing write then reports EPIPE or EFBIG) and
// reports SIGBUS: one line naming the file and the extension whose bytes could not
// be reached, then exit status 1.
void faults_install();

// Names the mapping of m in SIGBUS reports; `hint` ends the line (may be empty).
// The name and hint must live as long as the mapping.  At most 1024 mosaics.
void faults_watch(Mosaic m, const char *name, const char *hint);

// Forgets the mapping of m, before it is unmapped.
void faults_unwatch(Mosaic m);

// Blocks, in the calling thread, the signals HeldSignals holds, so that they
// reach the main thread; for every thread that fits extensions.
void faults_worker_thread();

// Signals held while an extension is written, so that it is written whole.
struct HeldSignals {
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;

  private:
    sigset_t previous;
};

#endif
