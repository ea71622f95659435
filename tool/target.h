// The write side of a run: where the corrected extensions go.  Three targets
// behind one interface: the science file itself (in place: its journal, its
// lock and the write-back of each extension, recoverable), a new file (-o: a
// copy written whole or not at all) and none (-n: fitted, nothing written).
//
// A run drives its target through these steps, in order:
//   refuse_early    before any input is opened (-o: a file that exists)
//   nothing_to_do   after the plan: a note when there is nothing to correct
//   refuse_inputs   a target that is one of the inputs
//   open            the mosaic to write into, made before the fits start
//   begin           what must exist before the first write (the journal)
//   prepare, write  each extension fitted, in the plan's order
//   settle, commit  the last write synced, the run made complete
// or, when a fit cannot be solved, settle and end_early after the extensions
// written so far.
#ifndef TOLV_TARGET_H
#define TOLV_TARGET_H

#include "inputs.h"
#include "journal.h"
#include "messages.h"
#include "options.h"
#include "plan.h"
#include "record.h"
#include "writeback.h"

#include <memory>
#include <string>
#include <vector>

class Target {
  public:
    virtual ~Target() = default;
    Target(const Target &) = delete;
    Target &operator=(const Target &) = delete;

    // A status when the run is refused before its inputs are opened.
    virtual int refuse_early() { return 0; }
    // The note that ends a run with nothing left to correct, or null.
    virtual const char *nothing_to_do(InputFiles &inputs, const Plan &plan);
    // A status when the target is one of the inputs.
    virtual int refuse_inputs(const InputFiles &) { return 0; }
    // The mosaic written into, ready; a status when it cannot be made.
    virtual int open(const InputFiles &, const Plan &) { return 0; }
    // What must exist before the first write; a status when it cannot be made.
    virtual int begin(InputFiles &, const Plan &) { return 0; }

    // Saves what job j's write needs (the journal's copy of its bytes) while it
    // is being fitted; a status.
    int prepare(const Plan &plan, size_t j);
    // Writes extension x as `fitter` corrected it, its table rows `rows`; a status.
    int write(const Plan &plan, const PlannedExtension &x, const ExtensionFitter &fitter, const std::string &rows);
    // Waits for the last write; a status.
    int settle();

    // Completes the run once every extension is written and the table flushed;
    // the inputs are released on the way when the end needs them closed.
    virtual int commit(InputFiles &) { return 0; }
    // Ends a run that stops at plan.extensions[stop] (a fit that cannot be
    // solved): what is written stays, consistent; returns what became of the
    // extensions, for the run's last line.
    virtual std::string end_early(const Plan &plan, size_t stop) = 0;

    // Whether extensions are written, and the name of the file they go to.
    bool writes() const { return mosaic_ != nullptr; }
    virtual const std::string &written_name() const = 0;

  protected:
    Target(const Options &o, const Messages &messages, const Inputs &in);
    // Makes the write-back into m, with the journal when in place.
    void write_into(Mosaic m, Journal *journal, void (*checkpoint)(const char *, int));
    // Whether the record of each correction is written (it names at most 99 frames).
    bool records() const;

    const Options &o_;
    const Messages &messages_;
    Mosaic mosaic_ = nullptr;
    std::vector<int> written_; // the extensions written so far, in order

  private:
    // The new bytes of extension e's header: with the record of its correction,
    // or as it is when the record has no room but checksums must be recomputed;
    // empty when the header stays as it is.
    std::string new_header(const Plan &plan, int e, const FitRow &last) const;

    std::unique_ptr<WriteBack> writer_;
    const std::string run_time_ = record_time(); // FRGCORR of every extension this run corrects
    std::vector<std::string> record_names_;      // FRGFILnn of every extension this run corrects
};

// The target `o` asks for: in place (with `journal`), -o, or -n, for the inputs
// `in` (opened later).  `checkpoint` as in CommandStreams.
std::unique_ptr<Target> make_target(const Options &o, const Messages &messages, const Inputs &in, Journal &journal,
                                    void (*checkpoint)(const char *point, int e));

#endif
