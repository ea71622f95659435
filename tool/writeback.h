// The write-back of corrected extensions into the science file's mapping, each one
// recoverable: its original bytes saved in the journal first, then the pixels
// stored, synced and recorded as done.  The sync of an extension is started at
// once but waited for only before the next extension is written, so that the
// disk works while the next fit computes; the journal keeps that extension's
// original bytes until it is recorded as done.
#ifndef TOLV_WRITEBACK_H
#define TOLV_WRITEBACK_H

#include "journal.h"
#include "mosaic.h"

#include <functional>
#include <string>

// Writes an extension's corrected pixels [first, first + count) big-endian at
// `to`, pixel `first` first.
using StorePixels = std::function<void(void *to, int first, int count)>;

class WriteBack {
  public:
    // Without a journal (a new file, which nothing is lost from) extensions are
    // only stored; the caller syncs the file at the end.  `checkpoint`, when
    // given, is called with the name of each step reached (saved, half, stored,
    // synced, done) and the extension.
    WriteBack(Mosaic science, const char *science_name, Journal *journal,
              void (*checkpoint)(const char *point, int e) = nullptr);

    // Writes extension e's corrected pixels (npix, stored by `store`) whose table
    // rows are `rows`, and with them `header`, the header's new bytes (its length
    // unchanged), unless empty; a header written gets its checksums recomputed.
    // False, with *error (one line), when it could not be done: the journal then
    // lets a rerun put back and finish.
    bool write(int e, const StorePixels &store, int npix, const std::string &header, const std::string &rows,
               std::string *error);

    // Waits for the last extension written and records it as done.
    bool settle(std::string *error);

  private:
    std::string failure(int e, const std::string &what) const;

    Mosaic science_;
    std::string name_;
    Journal *journal_;
    void (*checkpoint_)(const char *, int);
    int pending_ = 0; // the extension written but not yet recorded as done
    int64_t pending_offset_ = 0, pending_length_ = 0;
    std::string pending_rows_;
};

#endif
