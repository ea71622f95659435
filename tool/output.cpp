// A copy made with copy_file_range where the kernel offers it (extents shared or
// copied in the kernel), else read and write; then synced and linked into place
// (through /proc/self/fd, which needs no privilege, unlike AT_EMPTY_PATH) or
// renamed.
#include "output.h"

#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Copies `size` bytes of `from` at `at` to `to` at `to_at`.
bool copy_bytes(int from, int64_t at, int to, int64_t to_at, int64_t size)
{
    int64_t done = 0;
#ifdef __linux__
    while (done < size) {
        off_t in = off_t(at + done), out = off_t(to_at + done);
        const ssize_t n = copy_file_range(from, &in, to, &out, size_t(size - done), 0);
        if (n <= 0) break;
        done += n;
    }
#endif
    std::vector<char> buf(size_t(1) << 20);
    while (done < size) {
        const ssize_t n = pread(from, buf.data(), buf.size() < size_t(size - done) ? buf.size() : size_t(size - done),
                                off_t(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (!pwrite_all(to, buf.data(), n, to_at + done)) return false;
        done += n;
    }
    return true;
}

// Six letters and digits for a temporary name; a name taken is simply tried again.
std::string name_suffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static uint64_t calls = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t v = uint64_t(now.tv_nsec) ^ uint64_t(now.tv_sec) << 30 ^ uint64_t(getpid()) << 40;
    v ^= ++calls * 0x9E3779B97F4A7C15ull;
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdull;
    v ^= v >> 33;
    std::string s;
    for (int i = 0; i < 6; i++, v /= 62) s += letters[v % 62];
    return s;
}

} // namespace

bool write_pieces(int from, const std::vector<CopyPiece> &pieces, int to)
{
    int64_t at = 0;
    for (const CopyPiece &p : pieces) {
        const bool copied = p.bytes.empty() ? copy_bytes(from, p.offset, to, at, p.length)
                                            : pwrite_all(to, p.bytes.data(), int64_t(p.bytes.size()), at);
        if (!copied) return false;
        at += p.bytes.empty() ? p.length : int64_t(p.bytes.size());
    }
    return true;
}

OutputFile::OutputFile(std::string path, bool overwrite) : path_(std::move(path)), overwrite_(overwrite)
{
    dir_ = folder_of(path_);
}

OutputFile::~OutputFile()
{
    if (fd_ >= 0) close(fd_);
    if (!committed_ && !temp_.empty()) unlink(temp_.c_str());
}

bool OutputFile::refused() const
{
    struct stat st;
    return !overwrite_ && lstat(path_.c_str(), &st) == 0;
}

bool OutputFile::link_as(const std::string &name) const { return link_unnamed(fd_, name); }

std::string OutputFile::copy_name() const { return unnamed_ ? "a new file in " + dir_ : temp_; }

bool OutputFile::create_copy(int from, int64_t size, std::string *error)
{
    return create_copy(from, {CopyPiece{0, size, {}}}, error);
}

bool OutputFile::create_copy(int from, const std::vector<CopyPiece> &pieces, std::string *error)
{
    int64_t size = 0;
    for (const CopyPiece &p : pieces) size += p.bytes.empty() ? p.length : int64_t(p.bytes.size());
    if (!create(size, error)) return false;
    if (!write_pieces(from, pieces, fd_)) {
        *error = "writing " + copy_name() + " failed: " + std::strerror(errno ? errno : EIO);
        return false;
    }
    return true;
}

bool OutputFile::create(int64_t size, std::string *error)
{
    fd_ = open_unnamed(dir_, 0644);
    unnamed_ = fd_ >= 0;
    if (!unnamed_) {
        fd_ = open_named_temporary(path_ + ".tolv-", 0644, &temp_);
        if (fd_ < 0) {
            *error = "creating a file in " + dir_ + " failed: " + std::strerror(errno);
            return false;
        }
    }
    if (const int refused = claim_space(fd_, 0, size)) {
        *error = "writing " + copy_name() + " failed: " + std::strerror(refused);
        return false;
    }
    // Where blocks cannot be claimed ahead, the file still takes its size.
    if (ftruncate(fd_, off_t(size)) != 0) {
        *error = "writing " + copy_name() + " failed: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool OutputFile::put_in_place()
{
    // Without --overwrite a file that appeared meanwhile is not replaced: link
    // fails on an existing name where rename would not.
    if (!unnamed_)
        return overwrite_ ? rename(temp_.c_str(), path_.c_str()) == 0
                          : link(temp_.c_str(), path_.c_str()) == 0 && unlink(temp_.c_str()) == 0;
    if (!overwrite_) return link_as(path_);
    // Only rename replaces a file in one step, and it takes a name: the copy gets
    // one beside the target first.
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string name = path_ + ".tolv-" + name_suffix();
        if (link_as(name)) {
            temp_ = name;
            return rename(temp_.c_str(), path_.c_str()) == 0;
        }
        if (errno != EEXIST) return false;
    }
    errno = EAGAIN;
    return false;
}

bool OutputFile::commit(std::string *error)
{
    if (fsync(fd_) != 0) {
        *error = "writing " + copy_name() + " failed: " + std::strerror(errno);
        return false;
    }
    if (!put_in_place()) {
        *error = errno == EEXIST ? "the file exists; --overwrite replaces it"
                                 : std::string("putting the file in place failed: ") + std::strerror(errno);
        return false;
    }
    committed_ = true;
    sync_folder(dir_);
    return true;
}
