// Signals a run must survive or report: a reader that went away (SIGPIPE), a file
// size limit (SIGXFSZ), a mapped file that cannot be read or written (SIGBUS: the
// file cut short by another program, or a disk error), and an interruption
// (SIGINT, SIGTERM, SIGHUP), reported with what the run had done.
#ifndef TOLV_FAULTS_H
#define TOLV_FAULTS_H

#include "mosaic.h"

#include <signal.h>

// Ignores SIGPIPE and SIGXFSZ (the failing write then reports EPIPE or EFBIG);
// reports SIGBUS: one line naming the file and the extension whose bytes could not
// be reached, then exit status 1; and reports SIGINT, SIGTERM and SIGHUP (those
// not ignored when the process started): one line saying where the run stopped,
// from what faults_run and faults_progress recorded, then the process ends by the
// same signal, so that its parent (a shell, a batch system) sees it.  For the
// command only: a process that did not call it gets none of these handlers.
void faults_install();

// What a run is, for the line an interruption prints: the science file, and the
// output file with -o (null otherwise).  The names must live until the process
// ends.  Does nothing unless faults_install was called.
enum class RunKind { in_place, output, dry_run };
void faults_run(RunKind kind, const char *science, const char *output);

// The extensions the run ends with corrected, `total`, of which `done` were
// already, by the interrupted run whose journal this one finishes.
void faults_plan(int total, int done);

// A step of the run: the pixels of an extension stored into the file (the file
// has changed), an extension recorded as done, the run complete (the journal
// removed, or the output in place).  Call it with the interruptions held, so that
// the line never lags behind the file.
enum class RunStep { stored, done, complete };
void faults_progress(RunStep step);

// Names the mapping of m in SIGBUS reports; `hint` ends the line (may be empty).
// The name and hint must live as long as the mapping.  At most 1024 mosaics.
void faults_watch(Mosaic m, const char *name, const char *hint);

// Reads the mapped bytes [p, p + length) a page at a time, after a system call
// that was given them failed with EFAULT (the file is shorter now than its
// mapping): the first page that cannot be read raises the SIGBUS that reports it,
// so that the report is the one a thread reading the same bytes gives, and is
// made once however many threads meet it.  Returns when every page reads, or
// when faults_install was not called.
void faults_read_through(const void *p, int64_t length);

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
