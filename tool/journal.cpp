// The journal file: a header naming the science file and the run's inputs, one
// slot holding the original bytes of the extension being written, then one record
// per extension done.  The header and the records carry a hash, so a part torn by
// a crash is seen as never written; the slot's bytes are synced before the small
// slot head that names them is written, so a valid head means whole bytes.
// Numbers are 64-bit little-endian on every host.
#include "journal.h"

#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr char HEADER_MAGIC[9] = "TOLVJRN1";
constexpr char DONE_MAGIC[9] = "TOLVDONE";
constexpr int64_t PAGE = 4096;
constexpr int64_t SLOT_HEAD = 32;                // extension, offset, length, hash of those
constexpr int64_t CHUNK = int64_t(1) << 20;      // bytes moved at a time in recovery
constexpr uint64_t LONGEST_TEXT = uint64_t(1) << 26;
constexpr char SUFFIX[] = ".tolv-journal";

int64_t round_up(int64_t n, int64_t to) { return (n + to - 1) / to * to; }

uint64_t get_u64(const unsigned char *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

void put_u64(std::string &to, uint64_t v)
{
    for (int i = 0; i < 8; i++) to += char(v >> (8 * i) & 0xff);
}

uint64_t rotl(uint64_t v, int r) { return v << r | v >> (64 - r); }

// A 64-bit hash over a byte stream given in pieces: four lanes of 8-byte words, so
// that hashing keeps pace with the disk.  Any torn write changes it.
class Hash {
  public:
    void add(const void *data, size_t n)
    {
        const auto *p = static_cast<const unsigned char *>(data);
        total_ += n;
        while (n > 0 && pending_ > 0) {
            block_[pending_++] = *p++;
            n--;
            if (pending_ == 32) {
                mix(block_);
                pending_ = 0;
            }
        }
        for (; n >= 32; p += 32, n -= 32) mix(p);
        for (; n > 0; n--) block_[pending_++] = *p++;
    }
    uint64_t value() const
    {
        unsigned char last[32] = {};
        std::memcpy(last, block_, size_t(pending_));
        uint64_t lane[4] = {lane_[0], lane_[1], lane_[2], lane_[3]};
        for (int i = 0; i < 4; i++) lane[i] = rotl(lane[i] ^ get_u64(last + 8 * i) * K1, 29) * K2;
        uint64_t h = total_ * K3;
        for (uint64_t l : lane) h = rotl(h ^ l * K2, 31) * K1;
        h ^= h >> 29;
        h *= K3;
        return h ^ h >> 32;
    }

  private:
    static constexpr uint64_t K1 = 0x9E3779B185EBCA87ull, K2 = 0xC2B2AE3D27D4EB4Full, K3 = 0x165667B19E3779F9ull;
    void mix(const unsigned char *b)
    {
        for (int i = 0; i < 4; i++) lane_[i] = rotl(lane_[i] ^ get_u64(b + 8 * i) * K1, 29) * K2;
    }
    uint64_t lane_[4] = {1, 2, 3, 4};
    unsigned char block_[32] = {};
    int pending_ = 0;
    uint64_t total_ = 0;
};

uint64_t hash_of(const std::string &bytes)
{
    Hash h;
    h.add(bytes.data(), bytes.size());
    return h.value();
}

// Makes a directory entry just created or removed durable.
void sync_directory(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

} // namespace

Journal::Journal(const char *science_path)
{
    char *real = realpath(science_path, nullptr);
    path_ = std::string(real ? real : science_path) + SUFFIX;
    std::free(real);
    const size_t slash = path_.rfind('/');
    dir_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
}

Journal::~Journal()
{
    if (fd_ >= 0) close(fd_);
}

bool Journal::fail(std::string *error, const std::string &what)
{
    *error = what + " the journal " + path_ + " failed: " + std::strerror(errno ? errno : EIO);
    return false;
}

bool Journal::recover(int science_fd, const JournalIdentity &science, std::string *error)
{
    fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        if (errno == ENOENT) return true;
        return fail(error, "opening");
    }
    if (!read_header(science, error)) return false;
    if (fd_ < 0) return true; // a journal whose creation was cut short: nothing had changed
    read_progress();
    return restore_slot(science_fd, error);
}

bool Journal::read_header(const JournalIdentity &science, std::string *error)
{
    unsigned char start[16];
    int64_t length = 0;
    std::vector<unsigned char> h;
    bool whole = pread_all(fd_, start, 16, 0) && std::memcmp(start, HEADER_MAGIC, 8) == 0;
    if (whole) {
        length = int64_t(get_u64(start + 8));
        whole = length >= PAGE && length <= int64_t(LONGEST_TEXT) * 4 && length % PAGE == 0;
    }
    if (whole) {
        h.resize(size_t(length));
        whole = pread_all(fd_, h.data(), length, 0);
    }
    // Fields: magic, length, dev, ino, size, capacity, key, names, hash.
    size_t at = 48;
    auto text = [&](std::string &to) {
        if (!whole || at + 8 > h.size()) return whole = false;
        const uint64_t n = get_u64(&h[at]);
        if (n > h.size() - at - 8) return whole = false;
        to.assign(reinterpret_cast<const char *>(&h[at + 8]), size_t(n));
        at += 8 + size_t(n);
        return true;
    };
    text(key_);
    text(names_);
    if (whole && at + 8 <= h.size()) {
        Hash hash;
        hash.add(h.data(), at);
        whole = hash.value() == get_u64(&h[at]);
    } else {
        whole = false;
    }
    if (!whole) {
        // The header is written and synced before the science file is touched: a
        // journal without a whole one was cut short while being created.
        close(fd_);
        fd_ = -1;
        unlink(path_.c_str());
        sync_directory(dir_);
        return true;
    }
    const uint64_t dev = get_u64(&h[16]), ino = get_u64(&h[24]);
    size_ = get_u64(&h[32]);
    capacity_ = int64_t(get_u64(&h[40]));
    if (dev != science.dev || ino != science.ino || size_ != science.size || capacity_ < 0 ||
        capacity_ > INT64_MAX / 4) {
        *error = "the journal " + path_ +
                 " was left by a run on another file of this name, or this file has changed size since that "
                 "run was interrupted; nothing was done";
        return false;
    }
    slot_at_ = length;
    progress_at_ = slot_at_ + round_up(SLOT_HEAD + capacity_, PAGE);
    return true;
}

void Journal::read_progress()
{
    for (;;) {
        unsigned char head[24];
        if (!pread_all(fd_, head, 24, progress_at_) || std::memcmp(head, DONE_MAGIC, 8) != 0) return;
        const uint64_t e = get_u64(head + 8), n = get_u64(head + 16);
        if (e < 1 || e > INT_MAX || n > LONGEST_TEXT) return;
        std::string record(size_t(24 + n + 8), '\0');
        if (!pread_all(fd_, record.data(), int64_t(record.size()), progress_at_)) return;
        Hash hash;
        hash.add(record.data(), size_t(24 + n));
        if (hash.value() != get_u64(reinterpret_cast<const unsigned char *>(&record[24 + n]))) return;
        done_[int(e)] = record.substr(24, size_t(n));
        progress_at_ += int64_t(record.size());
    }
}

bool Journal::restore_slot(int science_fd, std::string *error)
{
    unsigned char head[SLOT_HEAD];
    if (!pread_all(fd_, head, SLOT_HEAD, slot_at_)) return true;
    const uint64_t e = get_u64(head), offset = get_u64(head + 8), length = get_u64(head + 16);
    if (e < 1 || e > INT_MAX || done_.count(int(e)) || length > uint64_t(capacity_) || offset > size_ ||
        length > size_ - offset)
        return true; // no extension was being written
    Hash hash;
    hash.add(head, 24);
    if (hash.value() != get_u64(head + 24)) return true;
    std::vector<unsigned char> chunk(size_t(length < uint64_t(CHUNK) ? length : uint64_t(CHUNK)));
    for (uint64_t done = 0; done < length;) {
        const int64_t n = int64_t(length - done < chunk.size() ? length - done : chunk.size());
        if (!pread_all(fd_, chunk.data(), n, slot_at_ + SLOT_HEAD + int64_t(done)))
            return fail(error, "reading");
        if (!pwrite_all(science_fd, chunk.data(), n, int64_t(offset + done))) {
            *error = std::string("putting back the extension an interrupted run was writing failed: ") +
                     std::strerror(errno);
            return false;
        }
        done += uint64_t(n);
    }
    if (fdatasync(science_fd) != 0) {
        *error = std::string("putting back the extension an interrupted run was writing failed: ") +
                 std::strerror(errno);
        return false;
    }
    // The bytes are back in the file: the slot no longer names an extension, so
    // that saving over its bytes later never leaves a head naming torn ones.
    const unsigned char empty[SLOT_HEAD] = {};
    if (!pwrite_all(fd_, empty, SLOT_HEAD, slot_at_) || fdatasync(fd_) != 0) return fail(error, "writing");
    restored_ = int(e);
    return true;
}

bool Journal::start(const JournalIdentity &id, int64_t capacity, std::string *error)
{
    if (fd_ >= 0) {
        // A journal found is continued, never started over: its records are what
        // says which extensions are corrected already.
        if (key_ == id.key && capacity <= capacity_) return true;
        *error = "the journal " + path_ + " was left by a run with other inputs";
        return false;
    }
    key_ = id.key;
    names_ = id.names;
    size_ = id.size;
    capacity_ = capacity;
    std::string h(HEADER_MAGIC, 8);
    put_u64(h, 0); // length, set below
    put_u64(h, id.dev);
    put_u64(h, id.ino);
    put_u64(h, id.size);
    put_u64(h, uint64_t(capacity));
    put_u64(h, key_.size());
    h += key_;
    put_u64(h, names_.size());
    h += names_;
    const int64_t length = round_up(int64_t(h.size()) + 8, PAGE);
    for (int i = 0; i < 8; i++) h[size_t(8 + i)] = char(uint64_t(length) >> (8 * i) & 0xff);
    put_u64(h, hash_of(h));
    h.resize(size_t(length), '\0');
    slot_at_ = length;
    progress_at_ = slot_at_ + round_up(SLOT_HEAD + capacity, PAGE);

    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) return fail(error, "creating");
    // Claim the disk space of the saved bytes now, so that a full disk is found
    // before anything changes.
    const int refused = posix_fallocate(fd_, 0, off_t(progress_at_ + PAGE * 16));
    bool written = refused != ENOSPC && refused != EDQUOT && refused != EFBIG;
    if (!written) errno = refused;
    written = written && pwrite_all(fd_, h.data(), length, 0) && fdatasync(fd_) == 0;
    if (!written) {
        const int why = errno;
        close(fd_);
        fd_ = -1;
        unlink(path_.c_str());
        errno = why;
        return fail(error, "writing");
    }
    sync_directory(dir_);
    return true;
}

bool Journal::save(int e, const unsigned char *file, int64_t offset, int64_t length, std::string *error)
{
    // The head in the slot names an extension already done (or none): the bytes
    // may be written over, and are synced before a head names them.
    std::string head;
    put_u64(head, uint64_t(e));
    put_u64(head, uint64_t(offset));
    put_u64(head, uint64_t(length));
    put_u64(head, hash_of(head));
    if (!pwrite_all(fd_, file + offset, length, slot_at_ + SLOT_HEAD)) {
        // The mapped bytes themselves could not be read: the file is shorter now.
        if (errno != EFAULT) return fail(error, "writing");
        *error = "the file could not be read or written (cut short by another program, or a disk error)";
        return false;
    }
    if (fdatasync(fd_) != 0 || !pwrite_all(fd_, head.data(), SLOT_HEAD, slot_at_) || fdatasync(fd_) != 0)
        return fail(error, "writing");
    return true;
}

bool Journal::mark_done(int e, const std::string &rows, std::string *error)
{
    std::string record(DONE_MAGIC, 8);
    put_u64(record, uint64_t(e));
    put_u64(record, rows.size());
    record += rows;
    put_u64(record, hash_of(record));
    if (!pwrite_all(fd_, record.data(), int64_t(record.size()), progress_at_) || fdatasync(fd_) != 0)
        return fail(error, "writing");
    progress_at_ += int64_t(record.size());
    done_[e] = rows;
    return true;
}

bool Journal::finish(std::string *error)
{
    if (fd_ < 0) return true;
    close(fd_);
    fd_ = -1;
    // Not synced with its directory: a journal that comes back after a power loss
    // records every extension as done, and the next run only removes it.
    if (unlink(path_.c_str()) != 0) return fail(error, "removing");
    return true;
}
