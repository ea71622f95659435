// Each extension goes through save, store, sync and record; a kill between any two
// steps leaves a journal from which the next run puts it back.
#include "writeback.h"

#include "faults.h"
#include "pixels.h"
#include "record.h"

#include <fcntl.h>

#include <cstring>

namespace {

void no_checkpoint(const char *, int) {}

// Starts writing the pages of [offset, offset + length) to the disk, not waiting.
void start_writeback(Mosaic m, int64_t offset, int64_t length)
{
#ifdef SYNC_FILE_RANGE_WRITE
    if (m->file->fd >= 0) sync_file_range(m->file->fd, off_t(offset), off_t(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)m, (void)offset, (void)length;
#endif
}

} // namespace

WriteBack::WriteBack(Mosaic science, const char *science_name, Journal *journal,
                     void (*checkpoint)(const char *point, int e))
    : science_(science), name_(science_name), journal_(journal), checkpoint_(checkpoint ? checkpoint : no_checkpoint)
{
}

std::string WriteBack::failure(int e, const std::string &what) const
{
    return "tolv: " + name_ + ": extension " + std::to_string(e) + ": " + what +
           "; run the same command again to recover";
}

bool WriteBack::settle(std::string *error)
{
    if (!pending_ || !journal_) return true;
    const int e = pending_;
    if (const int failed = mosaic_sync(science_, pending_offset_, pending_length_)) {
        *error = failure(e, std::string("writing the corrected pixels failed: ") + std::strerror(failed));
        return false;
    }
    checkpoint_("synced", e);
    if (!journal_->mark_done(e, pending_rows_, error)) {
        *error = failure(e, *error);
        return false;
    }
    pending_ = 0;
    checkpoint_("done", e);
    return true;
}

bool WriteBack::write(int e, const StorePixels &store, int npix, const std::string &header, const std::string &rows,
                      std::string *error)
{
    // The journal has one slot for original bytes: the extension before must be
    // recorded as done before this one's are saved over its own.
    if (!settle(error)) return false;
    unsigned char *data = static_cast<unsigned char *>(science_->data[e]);
    unsigned char *cards = data - int64_t(header.size());
    const int64_t data_at = mosaic_offset(science_, data), pixel_bytes = int64_t(npix) * 4;
    // The range that changes: the header (when written) and the pixels.
    const int64_t offset = data_at - int64_t(header.size()), length = int64_t(header.size()) + pixel_bytes;
    const HeldSignals hold; // an interruption waits until the pixels are stored whole
    if (journal_ && !journal_->save(e, science_->file->map, offset, length, error)) {
        *error = failure(e, *error);
        return false;
    }
    checkpoint_("saved", e);
    if (journal_ && checkpoint_ != no_checkpoint) {
        // For the tests that stop a run inside a store: half of the pixels first.
        store(data, 0, npix / 2);
        checkpoint_("half", e);
    }
    store(data, 0, npix);
    if (!header.empty()) {
        std::memcpy(cards, header.data(), header.size());
        // The data unit's fill counts too; a last unit whose fill the file lacks
        // sums as if it were there (fill bytes are zeros).
        const int64_t fill_end = data_at + science_->head[e]->basic->databloks * 2880;
        const int64_t data_end = fill_end < science_->file->size ? fill_end : science_->file->size;
        update_checksums(cards, int64_t(header.size()), data, data_end - data_at);
    }
    // The pages are dropped from the process at once: a dirty page of a shared
    // mapping stays in the page cache and reaches the file as any other, and its
    // write-back then need not first write-protect it in this process's page
    // tables, page by page, while other threads run (which made it 5 times slower).
    mosaic_release(science_, cards, length);
    if (!journal_) return true;
    start_writeback(science_, offset, length);
    checkpoint_("stored", e);
    pending_ = e;
    pending_offset_ = offset;
    pending_length_ = length;
    pending_rows_ = rows;
    return true;
}
