#include "fileio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
// The most handed to the kernel at once: some systems refuse a transfer past 2 GiB.
constexpr int64_t LARGEST = int64_t(1) << 30;
} // namespace

bool pwrite_all(int fd, const void *data, int64_t n, int64_t at)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        const ssize_t w = pwrite(fd, p, size_t(n < LARGEST ? n : LARGEST), off_t(at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= w;
        at += w;
    }
    return true;
}

bool pread_all(int fd, void *data, int64_t n, int64_t at)
{
    auto *p = static_cast<unsigned char *>(data);
    while (n > 0) {
        const ssize_t r = pread(fd, p, size_t(n < LARGEST ? n : LARGEST), off_t(at));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0) errno = 0; // the file ends here
            return false;
        }
        p += r;
        n -= r;
        at += r;
    }
    return true;
}

namespace {
std::string proc_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
} // namespace

std::string folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int open_unnamed(const std::string &dir, mode_t mode)
{
#ifdef O_TMPFILE
    const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    // Named through /proc/self/fd at the end: without /proc (or where an
    // emulator hides it) it could never be named.
    struct stat own, seen;
    if (fstat(fd, &own) != 0 || stat(proc_path(fd).c_str(), &seen) != 0 || own.st_dev != seen.st_dev ||
        own.st_ino != seen.st_ino) {
        close(fd);
        return -1;
    }
    return fd;
#else
    (void)dir, (void)mode;
    return -1;
#endif
}

bool link_unnamed(int fd, const std::string &path)
{
    return linkat(AT_FDCWD, proc_path(fd).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

int claim_space(int fd, int64_t offset, int64_t length)
{
    const int refused = posix_fallocate(fd, off_t(offset), off_t(length));
    return refused == ENOSPC || refused == EDQUOT || refused == EFBIG ? refused : 0;
}

int open_named_temporary(const std::string &prefix, mode_t mode, std::string *name)
{
    std::string pattern = prefix + "XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, mode & ~mask); // as a file made by any program, not mkostemp's 0600
    *name = pattern;
    return fd;
}

void sync_folder(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

int sync_mapped_file(void *map, int64_t length, int fd)
{
    if (msync(map, size_t(length), MS_SYNC) != 0) return errno;
    return sync_file(fd);
}

int sync_file(int fd) { return fsync(fd) == 0 ? 0 : errno; }

int duplicate_descriptor(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 0); }

void open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is fd itself: those below it are open by now.
        int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (held < 0) held = open("/", O_RDONLY | O_DIRECTORY);
        if (held != fd) _exit(1);
    }
}

int filled_scratch_file(const char *name, const std::function<bool(int fd)> &fill)
{
    // The descriptor when fill takes it; else -1 with fill's errno, the file closed.
    auto filled = [&fill](int fd) {
        errno = 0;
        if (fill(fd)) return fd;
        const int failed = errno;
        close(fd);
        errno = failed;
        return -1;
    };
    std::vector<std::string> dirs;
    if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp) dirs.push_back(tmp);
    dirs.push_back("/var/tmp");
    for (const std::string &dir : dirs) {
#ifdef O_TMPFILE
        const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#else
        const int fd = -1;
#endif
        if (fd < 0) continue;
        if (filled(fd) >= 0) return fd;
        // A disk without room gives way to memory; any other fault is the input's.
        if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG) return -1;
    }
    const int fd = open_memory_file(name);
    return fd < 0 ? -1 : filled(fd);
}

int open_memory_file(const char *name)
{
#ifdef MFD_CLOEXEC
    return memfd_create(name, MFD_CLOEXEC);
#else
    (void)name;
    errno = ENOSYS;
    return -1;
#endif
}
