// Each extension goes through save, store, sync and record; a kill between any two
// steps leaves a journal from which the next run puts it back.
#include "writeback.h"

#include "fits.h"
#include "digest.h"
#include "faults.h"
#include "fileio.h"
#include "messages.h"
#include "pixels.h"
#include "record.h"

#include <fcntl.h>

#include <cerrno>
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

// Pixels stored at a time when they go through the file descriptor: 256 KiB.
constexpr int STORE_CHUNK = 65536;

} // namespace

WriteBack::WriteBack(Mosaic science, const std::string &science_name, Journal *journal,
                     void (*checkpoint)(const char *point, int e))
    : science_(science), name_(science_name), journal_(journal), checkpoint_(checkpoint ? checkpoint : no_checkpoint)
{
}

std::string WriteBack::failure(int e, const std::string &what) const
{
    return file_line(name_, "extension " + std::to_string(e) + ": " + what + RERUN_TO_RECOVER);
}

std::string WriteBack::write_failure(int e, int error_number) const
{
    if (error_number == 0) return failure(e, UNREADABLE_FILE_TEXT);
    return failure(e, std::string("writing the corrected pixels failed: ") + std::strerror(error_number));
}

// The extension written last, once its bytes are on the disk, goes to the
// journal as done (which counts once the journal is synced).  Its sync is waited
// for with signals let through; the caller holds them for the record.
bool WriteBack::sync_pending(std::string *error)
{
    if (!pending_) return true;
    if (const int failed = mosaic_sync(science_, pending_offset_, pending_length_)) {
        *error = write_failure(pending_, failed);
        return false;
    }
    checkpoint_("synced", pending_);
    return true;
}

bool WriteBack::record_pending(std::string *error)
{
    if (!pending_) return true;
    if (!journal_->record(pending_, pending_digest_, pending_rows_, error)) {
        *error = failure(pending_, *error);
        return false;
    }
    recorded_ = pending_;
    pending_ = 0;
    return true;
}

// Syncs the journal for extension e's steps: a record written then counts.
bool WriteBack::sync(int e, std::string *error)
{
    if (!journal_->sync(error)) {
        *error = failure(recorded_ ? recorded_ : e, *error);
        return false;
    }
    if (recorded_) {
        faults_progress(RunStep::done);
        checkpoint_("done", recorded_);
        recorded_ = 0;
    }
    return true;
}

bool WriteBack::settle(std::string *error)
{
    if (!pending_ || !journal_) return true;
    if (!sync_pending(error)) return false;
    const HeldSignals hold; // an interruption counts the extensions the journal records
    return record_pending(error) && sync(0, error);
}

bool WriteBack::save(int e, int64_t offset, int64_t length, int next, int64_t next_offset, int64_t next_length,
                     std::string *error)
{
    if (!sync_pending(error)) return false;
    const HeldSignals hold; // an interruption counts the extensions the journal records
    // The extension before is recorded in the sync that names this one's bytes,
    // which were staged with the sync before, where a slot was free.
    const unsigned char *file = science_->file->map;
    auto stage = [&](int x, int64_t at, int64_t n) {
        if (journal_->stage(x, file, at, n, error)) return true;
        *error = failure(e, *error);
        return false;
    };
    auto step = [&](bool done) {
        if (!done) *error = failure(e, *error);
        return done;
    };
    if (!record_pending(error)) return false;
    if (!journal_->armed(e, offset, length)) {
        if (!journal_->holds(e)) {
            // No slot free: the record just written frees one once it counts.
            if (!journal_->can_stage() && !(sync(e, error) && step(journal_->make_room(error)) && sync(e, error)))
                return false;
            if (!stage(e, offset, length)) return false;
        }
        if (!journal_->on_disk(e) && !sync(e, error)) return false;
        if (!step(journal_->arm(e, error))) return false;
    }
    if (next && !journal_->holds(next) && journal_->can_stage() && !stage(next, next_offset, next_length))
        return false;
    if ((next && !step(journal_->make_room(error))) || !sync(e, error)) return false;
    checkpoint_("saved", e);
    return true;
}

// The range of extension e that a correction changes: its whole header (a
// header written back keeps its length) and its pixels.
void WriteBack::changed_range(int e, int npix, int64_t *offset, int64_t *length) const
{
    const int64_t data_at = mosaic_offset(science_, science_->data[e]);
    const int64_t header_bytes = header_blocks(science_, e).length;
    *offset = data_at - header_bytes;
    *length = header_bytes + int64_t(npix) * 4;
}

bool WriteBack::prepare(int e, int next, int npix, std::string *error)
{
    if (!journal_) return true;
    int64_t offset = 0, length = 0, next_offset = 0, next_length = 0;
    changed_range(e, npix, &offset, &length);
    if (next) changed_range(next, npix, &next_offset, &next_length);
    return save(e, offset, length, next, next_offset, next_length, error);
}

bool WriteBack::store_pixels(unsigned char *data, int64_t data_at, const ExtensionFitter &fitter, int from, int to,
                             Digest *digest)
{
    // Each pixel is stored once: the fitter makes it from the science pixel as read.
    const int fd = science_->file->fd;
    if (fd < 0) {
        fitter.store(data + int64_t(from) * 4, from, to - from);
        if (digest) digest->add(data + int64_t(from) * 4, size_t(to - from) * 4);
        return true;
    }
    // Through the descriptor, a piece at a time: the file's own bytes first where
    // the store keeps those of pixels that are not finite (the lean steps take
    // them from the science pixels as mapped), then the corrected ones over them.
    // Stored through the mapping instead, each 4 KiB page would first take a
    // write fault, which on a virtual machine costs more than the store itself.
    chunk_.resize(size_t(STORE_CHUNK) * 4);
    const bool over_own_bytes = !fitter.store_writes_every_byte();
    for (int first = from; first < to; first += STORE_CHUNK) {
        const int n = to - first < STORE_CHUNK ? to - first : STORE_CHUNK;
        const int64_t at = data_at + int64_t(first) * 4;
        if (over_own_bytes && !pread_all(fd, chunk_.data(), int64_t(n) * 4, at)) {
            return false; // errno 0: the file was cut underneath
        }
        fitter.store(chunk_.data(), first, n);
        if (digest) digest->add(chunk_.data(), size_t(n) * 4);
        if (!pwrite_all(fd, chunk_.data(), int64_t(n) * 4, at)) return false;
    }
    return true;
}

bool WriteBack::write(int e, const ExtensionFitter &fitter, int npix, const std::string &header, const std::string &rows,
                      std::string *error)
{
    unsigned char *data = static_cast<unsigned char *>(science_->data[e]);
    unsigned char *cards = data - int64_t(header.size());
    const int64_t data_at = mosaic_offset(science_, data), pixel_bytes = int64_t(npix) * 4;
    // The range that changes: the header (when written) and the pixels.
    const int64_t offset = data_at - int64_t(header.size()), length = int64_t(header.size()) + pixel_bytes;
    if (journal_ && !journal_->armed(e, offset, length) && !save(e, offset, length, 0, 0, 0, error)) return false;
    const HeldSignals hold; // an interruption waits until the pixels are stored whole
    faults_progress(RunStep::stored); // the file changes from here on
    Digest pixels;
    Digest *const sums = journal_ ? &pixels : nullptr;
    // For the tests that stop a run inside a store: half of the pixels first.
    const bool halves = journal_ && checkpoint_ != no_checkpoint;
    const int half = halves ? npix / 2 : 0;
    if (halves) {
        if (!store_pixels(data, data_at, fitter, 0, half, sums)) {
            *error = write_failure(e, errno);
            return false;
        }
        checkpoint_("half", e);
    }
    if (!store_pixels(data, data_at, fitter, half, npix, sums)) {
        *error = write_failure(e, errno);
        return false;
    }
    if (!header.empty()) {
        std::memcpy(cards, header.data(), header.size());
        // The data unit's fill counts too; a last unit whose fill the file lacks
        // sums as if it were there (fill bytes are zeros).
        const int64_t fill_end = data_at + science_->head[e]->basic->databloks * FT_BLOCK_BYTES;
        const int64_t data_end = fill_end < science_->file->size ? fill_end : science_->file->size;
        update_checksums(cards, int64_t(header.size()), data, data_end - data_at);
    }
    // What the journal records of the extension as written: the digest of its
    // whole header and of its pixels, which a rerun checks before it trusts it.
    uint64_t digest = 0;
    if (journal_) {
        const HeaderBlocks h = header_blocks(science_, e);
        digest = Journal::extension_digest(digest_of(h.bytes, size_t(h.length)), pixels.value());
    }
    // The extension's pages leave the process at once (the header's, written
    // through the mapping, stay dirty in the page cache and reach the file as any
    // other): the write-back then need not write-protect them in this process's
    // page tables, page by page, while other threads run.
    mosaic_release(science_, cards, length);
    if (!journal_) return true;
    start_writeback(science_, offset, length);
    checkpoint_("stored", e);
    pending_ = e;
    pending_offset_ = offset;
    pending_length_ = length;
    pending_rows_ = rows;
    pending_digest_ = digest;
    return true;
}
