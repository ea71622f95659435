#include "fileio.h"

#include <unistd.h>

#include <cerrno>

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
