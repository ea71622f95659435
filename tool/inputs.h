// The first stage of a run: the files it reads, opened, locked and mapped, with
// what makes them safe to use together: the science file locked against other
// runs, an interrupted run's half-written extension put back before anything is
// read, no input that is another name of the science file, and what the results
// depend on (the inputs' contents and the settings) as one key.
#ifndef TOLV_INPUTS_H
#define TOLV_INPUTS_H

#include "journal.h"
#include "layout.h"
#include "messages.h"
#include "options.h"
#include "run_report.h"

#include <cstdint>
#include <string>

// Units indexed in each input: a mosaic of up to 72 extensions.
constexpr int MAX_UNITS = 73;

class InputFiles {
  public:
    // The files named by `o` (the science file first); refusals go to `messages`,
    // and the report (when given) learns of a lock held by another run.
    InputFiles(const Options &o, const Messages &messages, RunReport *report);
    // Unmaps and closes every file (their locks go with them).
    ~InputFiles() { release(); }
    InputFiles(const InputFiles &) = delete;
    InputFiles &operator=(const InputFiles &) = delete;

    // Opens the science file, read-write when `writable`, and takes its lock
    // (exclusive when writable, shared otherwise); null, with *status, when it
    // cannot.  For the runs that only apply or drop a journal.
    MosaicFile *open_science(bool writable, int *status) const;

    // Opens, locks and maps every input.  In place, the journal first puts back
    // what an interrupted run left half written; otherwise a journal left by a
    // run is refused.  A status when the run cannot go on, else 0.
    int open(bool in_place, Journal &journal);

    const Inputs &in() const { return in_; }
    const char *science_name() const { return in_.science_name; }
    // The science file's size when it was opened.
    uint64_t science_size() const { return science_size_; }
    // The fringe frames and the mask as the user named them, one space between.
    const std::string &names() const { return names_; }

    // What the results depend on besides the science file, for the journal: the
    // contents of the fringe frames and the mask (the same bytes under a new
    // inode, after rsync or cp then mv, are the same inputs) and the settings.
    // Made once, when first asked: an ordinary run asks while the first
    // extensions are being fitted.
    const std::string &key();

    // A file to be written (-o, --table) that is one of the inputs: refused, true.
    bool names_an_input(const std::string &path) const;

    // Unmaps and closes every file; the journal keeps its own descriptor (and lock).
    void release();

  private:
    // Opens and maps the fringe frames and the mask; a status.
    int open_others(bool in_place, const MosaicFile *science_file);

    const Options &o_;
    const Messages &messages_;
    RunReport *report_;
    Inputs in_{};
    uint64_t science_size_ = 0;
    std::string names_, key_;
};

#endif
