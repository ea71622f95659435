// gzip-compressed files read as plain streams: a stdio cookie whose reads inflate
// the file (RFC 1952 members back to back) and whose seeks fail, so the library
// treats it as it treats a pipe.
#include "gzstream.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef TOLV_HAVE_ZLIB
#include <sys/types.h>
#include <zlib.h>

namespace {

constexpr std::size_t kInputBytes = 64 * 1024;

struct Inflater {
    std::FILE *file;
    z_stream z;
    bool ended;   // the last member is complete, or the stream failed
    bool failed;  // damaged or cut short: every later read is an error
    unsigned char input[kInputBytes];
};

// Fills the input buffer when it is empty; false at the file's end or a read error.
bool refill(Inflater *s)
{
    if (s->z.avail_in > 0) return true;
    const std::size_t n = std::fread(s->input, 1, sizeof s->input, s->file);
    s->z.next_in = s->input;
    s->z.avail_in = static_cast<uInt>(n);
    return n > 0;
}

// After a member's end: another member follows when the next bytes are gzip's
// magic; anything else (nothing, or trailing bytes) ends the stream.
bool next_member(Inflater *s)
{
    if (!refill(s)) return false;
    if (s->z.next_in[0] != 0x1f) return false;
    if (s->z.avail_in < 2) {
        // The second magic byte lies in the next read of the file.
        const int c = std::fgetc(s->file);
        if (c != 0x8b) return false;
        s->input[0] = 0x1f;
        s->input[1] = 0x8b;
        s->z.next_in = s->input;
        s->z.avail_in = 2;
    } else if (s->z.next_in[1] != 0x8b) {
        return false;
    }
    return inflateReset(&s->z) == Z_OK;
}

ssize_t gz_read(void *cookie, char *buf, std::size_t size)
{
    auto *s = static_cast<Inflater *>(cookie);
    if (s->failed) {
        errno = EIO;
        return -1;
    }
    if (size == 0 || s->ended) return 0;
    // zlib counts in uInt: one read asks for at most 1 GiB.
    const std::size_t ask = size < (std::size_t(1) << 30) ? size : (std::size_t(1) << 30);
    s->z.next_out = reinterpret_cast<Bytef *>(buf);
    s->z.avail_out = static_cast<uInt>(ask);
    while (s->z.avail_out > 0) {
        if (!refill(s)) {
            // The file ended inside a member: cut short.
            s->failed = true;
            break;
        }
        const int rc = inflate(&s->z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            if (!next_member(s)) {
                s->ended = true;
                break;
            }
        } else if (rc != Z_OK) {
            // With input and room given, anything else is damage (Z_BUF_ERROR: no
            // progress possible, Z_DATA_ERROR, Z_MEM_ERROR).
            s->failed = true;
            break;
        }
    }
    const std::size_t got = ask - s->z.avail_out;
    if (got > 0) return static_cast<ssize_t>(got);
    if (s->failed) {
        errno = EIO;
        return -1;
    }
    return 0;
}

int gz_seek(void *, off64_t *, int)
{
    errno = ESPIPE;
    return -1;
}

int gz_close(void *cookie)
{
    auto *s = static_cast<Inflater *>(cookie);
    inflateEnd(&s->z);
    const int rc = std::fclose(s->file);
    std::free(s);
    return rc;
}

// A read-only stream inflating file, whose first two bytes (the magic) were read.
File inflating_stream(std::FILE *file)
{
    auto *s = static_cast<Inflater *>(std::calloc(1, sizeof(Inflater)));
    if (!s) return nullptr;
    s->file = file;
    s->input[0] = 0x1f;
    s->input[1] = 0x8b;
    s->z.next_in = s->input;
    s->z.avail_in = 2;
    if (inflateInit2(&s->z, 16 + MAX_WBITS) != Z_OK) {
        std::free(s);
        return nullptr;
    }
    cookie_io_functions_t io{};
    io.read = gz_read;
    io.seek = gz_seek;
    io.close = gz_close;
    File stream = fopencookie(s, "r", io);
    if (!stream) {
        inflateEnd(&s->z);
        std::free(s);
    }
    return stream;
}

bool read_mode(const char *mode)
{
    return mode[0] == 'r' && !std::strchr(mode, '+');
}

} // namespace

File open_stream(const char *name, const char *mode)
{
    if (!name || !mode) return nullptr;
    std::FILE *file = std::fopen(name, mode);
    if (!file || !read_mode(mode)) return file;
    const int c1 = std::fgetc(file);
    if (c1 != 0x1f) {
        if (c1 != EOF) std::ungetc(c1, file);
        else std::clearerr(file);
        return file;
    }
    const int c2 = std::fgetc(file);
    if (c2 == 0x8b) {
        File stream = inflating_stream(file);
        if (!stream) std::fclose(file);
        return stream;
    }
    // Not gzip, and not FITS either (a FITS file begins with SIMPLE or XTENSION):
    // the plain file from its start where it can seek, else what is left.
    if (std::fseek(file, 0, SEEK_SET) != 0 && c2 != EOF) std::ungetc(c2, file);
    return file;
}

#else

File open_stream(const char *name, const char *mode)
{
    if (!name || !mode) return nullptr;
    return std::fopen(name, mode);
}

#endif
