// Byte order of FITS data: every multi-byte element is stored big-endian.
#include "fits.h"

#include <cstring>

namespace {

// Reverse the bytes of each W-byte element.  Each element is loaded whole before
// it is stored, so `to` may equal `from`; the loop is simple enough to vectorise.
template <int W>
void swap_elements(void *to, const void *from, int64_t nbytes)
{
    if (nbytes <= 0) return;
    auto *dst = static_cast<unsigned char *>(to);
    const auto *src = static_cast<const unsigned char *>(from);
    const int64_t whole = nbytes / W * W;
    for (int64_t i = 0; i < whole; i += W) {
        unsigned char e[W];
        std::memcpy(e, src + i, W);
        for (int b = 0; b < W; b++) dst[i + b] = e[W - 1 - b];
    }
    if (dst != src) std::memmove(dst + whole, src + whole, size_t(nbytes - whole));
}

template <>
void swap_elements<4>(void *to, const void *from, int64_t nbytes)
{
    if (nbytes <= 0) return;
    auto *dst = static_cast<unsigned char *>(to);
    const auto *src = static_cast<const unsigned char *>(from);
    const int64_t n = nbytes / 4;
    for (int64_t i = 0; i < n; i++) {
        uint32_t v;
        std::memcpy(&v, src + 4 * i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(dst + 4 * i, &v, 4);
    }
    if (dst != src) std::memmove(dst + 4 * n, src + 4 * n, size_t(nbytes - 4 * n));
}

} // namespace

extern "C" {

void swap2(void *to, const void *from, int64_t nbytes) { swap_elements<2>(to, from, nbytes); }
void swap4(void *to, const void *from, int64_t nbytes) { swap_elements<4>(to, from, nbytes); }
void swap8(void *to, const void *from, int64_t nbytes) { swap_elements<8>(to, from, nbytes); }

} // extern "C"
