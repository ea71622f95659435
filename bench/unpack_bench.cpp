// unpack_bench in.fz out.fits: every tile-compressed image of a file decompressed
// by the library into a plain file, the other units copied, as funpack does (an
// empty primary followed by a compressed primary image becomes that image).  Timed
// as a whole process against `funpack -O out.fits in.fz`.
#include "fits.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int64_t kBlock = FT_BLOCK_BYTES;

int64_t whole_blocks(int64_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

bool write_all(int fd, const void *p, int64_t n)
{
    const auto *c = static_cast<const char *>(p);
    while (n > 0) {
        const ssize_t w = write(fd, c, size_t(n < (1 << 30) ? n : (1 << 30)));
        if (w <= 0) return false;
        c += w;
        n -= w;
    }
    return true;
}

bool write_header(int fd, FITSHead h)
{
    return write_all(fd, h->cards, (int64_t(h->ncard) + FT_BLOCK_CARDS - 1) / FT_BLOCK_CARDS * kBlock);
}

int fail(const char *what, const char *detail)
{
    std::fprintf(stderr, "unpack_bench: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) return fail("usage: unpack_bench in.fz out.fits", nullptr);
    const int in = open(argv[1], O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return fail("cannot open", argv[1]);
    const int64_t size = st.st_size;
    void *map = size > 0 ? mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, in, 0) : MAP_FAILED;
    if (map == MAP_FAILED) return fail("cannot map", argv[1]);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return fail("cannot create", argv[2]);

    auto *p = static_cast<unsigned char *>(map);
    std::vector<unsigned char> image;
    char why[256];
    int64_t at = 0;
    int written = 0;  // units written
    bool pending_primary = false;  // an empty primary held back
    FITSHead held = nullptr;
    while (at + kBlock <= size) {
        FITSHead h = ft_headinit(p + at, size - at);
        if (!h || !h->basic || h->ncard < 1) {
            ft_headfree(h, 0);
            break;
        }
        const int64_t header_bytes = h->data;
        const int64_t data_bytes = h->basic->databloks * kBlock;
        if (data_bytes > size - at - header_bytes) return fail("a unit runs past the file", nullptr);
        const unsigned char *data = p + at + header_bytes;
        if (written == 0 && !pending_primary && h->basic->naxes == 0) {
            pending_primary = true;  // written only when no compressed primary image follows
            held = h;
            at += header_bytes + data_bytes;
            continue;
        }
        if (ft_iscompimage(h)) {
            const bool as_primary = pending_primary && ft_headgetl(h, "ZSIMPLE", 0, 0, nullptr);
            if (pending_primary && !as_primary) {
                if (!write_header(out, held)) return fail("cannot write", argv[2]);
                written++;
            }
            pending_primary = false;
            FITSHead ih = ft_compimagehead(h, as_primary || written == 0, 0, nullptr, why, int(sizeof why));
            if (!ih) return fail("cannot read a compressed image", why);
            const int64_t bytes = ih->basic->databytes;
            image.resize(size_t(whole_blocks(bytes)));
            if (!ft_compimageread(h, data, h->basic->databytes, image.data(), bytes, why, int(sizeof why)))
                return fail("cannot decompress", why);
            std::memset(image.data() + bytes, 0, image.size() - size_t(bytes));
            if (!write_header(out, ih) || !write_all(out, image.data(), int64_t(image.size())))
                return fail("cannot write", argv[2]);
            ft_headfree(ih, 1);
        } else {
            if (pending_primary) {
                if (!write_header(out, held)) return fail("cannot write", argv[2]);
                written++;
                pending_primary = false;
            }
            if (!write_all(out, p + at, header_bytes + data_bytes)) return fail("cannot write", argv[2]);
        }
        written++;
        at += header_bytes + data_bytes;
        ft_headfree(h, 0);
    }
    if (pending_primary && !write_header(out, held)) return fail("cannot write", argv[2]);
    ft_headfree(held, 0);
    if (close(out) != 0) return fail("cannot close", argv[2]);
    munmap(map, size_t(size));
    close(in);
    return 0;
}
