// The write-back of corrected extensions into the science file, each one
// recoverable: its original bytes saved in the journal first (while it is still
// being fitted, when the driver says which comes next), then the pixels stored,
// synced and recorded as done.  The sync of an extension is started at
// once but waited for only before the next extension is written, so that the
// disk works while the next fit computes; the journal keeps that extension's
// original bytes until it is recorded as done.
#ifndef TOLV_WRITEBACK_H
#define TOLV_WRITEBACK_H

#include "fringefit.h"
#include "journal.h"
#include "mosaic.h"

#include <cstdint>
#include <string>
#include <vector>

class Digest;

class WriteBack {
  public:
    // Without a journal (a new file, which nothing is lost from) extensions are
    // only stored; the caller syncs the file at the end.  `checkpoint`, when
    // given, is called with the name of each step reached (saved, half, stored,
    // synced, done) and the extension.
    // `science_name` (for messages) must outlive the write-back.
    WriteBack(Mosaic science, const std::string &science_name, Journal *journal,
              void (*checkpoint)(const char *point, int e) = nullptr);

    // Writes extension e's corrected pixels (npix, as `fitter` stores them) whose table
    // rows are `rows`, and with them `header`, the header's new bytes (its length
    // unchanged), unless empty; a header written gets its checksums recomputed.
    // False, with *error (one line), when it could not be done: the journal then
    // lets a rerun put back and finish.
    bool write(int e, const ExtensionFitter &fitter, int npix, const std::string &header, const std::string &rows,
               std::string *error);

    // Saves extension e's original header and pixels (npix) in the journal ahead
    // of its write, once the extension written before it is synced (its record
    // goes to the journal in the same sync), and stages the original of `next`,
    // the extension to be written after e (0: none), for the sync that comes
    // with e's record: called while e is still being fitted, the disk does that
    // work in the meantime.  False, with *error, as write.
    bool prepare(int e, int next, int npix, std::string *error);

    // Waits for the last extension written and records it as done.
    bool settle(std::string *error);

  private:
    std::string failure(int e, const std::string &what) const;
    std::string write_failure(int e, int error_number) const;
    // Saves [offset, offset + length) of the file as extension e's original, and
    // stages next's (its range after it) where a slot is free.
    bool save(int e, int64_t offset, int64_t length, int next, int64_t next_offset, int64_t next_length,
              std::string *error);
    bool sync_pending(std::string *error);
    bool record_pending(std::string *error);
    bool sync(int e, std::string *error);
    void changed_range(int e, int npix, int64_t *offset, int64_t *length) const;
    // Stores pixels [from, to) of the data unit at `data`, file offset `data_at`,
    // each once (the fitter makes them from the pixels as read); false, with
    // errno, when the file could not take them.  The digest, when given, gets the
    // bytes stored.
    bool store_pixels(unsigned char *data, int64_t data_at, const ExtensionFitter &fitter, int from, int to,
                      Digest *digest);

    Mosaic science_;
    const std::string &name_;
    Journal *journal_;
    void (*checkpoint_)(const char *, int);
    int pending_ = 0; // the extension written but not yet recorded as done
    int64_t pending_offset_ = 0, pending_length_ = 0;
    std::string pending_rows_;
    uint64_t pending_digest_ = 0;
    int recorded_ = 0; // the extension whose record the next sync makes count
    std::vector<unsigned char> chunk_; // pixels on their way to the file
};

#endif
