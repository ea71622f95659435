// Pixels between the mapping and the fit.
#include "pixels.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

// A float is infinite or not a number when its exponent bits are all ones.
constexpr uint32_t FLOAT_EXPONENT = 0x7f800000u;

inline uint32_t bits_of(const float *v, int p)
{
    uint32_t u;
    std::memcpy(&u, v + p, 4);
    return u;
}

// The loaders work through blocks of pixels small enough to stay in the
// first-level cache, with a few short loops over each that the compiler
// vectorizes; one loop doing everything it would not.
constexpr int BLOCK = 512;

typedef uint32_t Bits4 __attribute__((vector_size(16)));

// to[0..n-1] = the n big-endian floats at `from`, in host order, four at a time
// in a 16-byte vector: on single values the compiler makes the swap a bswap
// instruction, which it cannot vectorize.  Inlined into each loader, whose
// other loops over the block it then schedules with it.
[[gnu::always_inline]] inline void host_order(float *to, const unsigned char *from, int n)
{
    int p = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; p + 4 <= n; p += 4) {
            Bits4 u;
            std::memcpy(&u, from + 4 * size_t(p), 16);
            u = swap_file_order32(u);
            std::memcpy(to + p, &u, 16);
        }
    }
    for (; p < n; p++) {
        const uint32_t u = be32_at(from, p);
        std::memcpy(to + p, &u, 4);
    }
}

// Whether any of v[0..n-1] is infinite or not a number.
bool any_not_finite(const float *v, int n)
{
    uint32_t all_ones = 0;
    for (int p = 0; p < n; p++) all_ones |= (bits_of(v, p) & FLOAT_EXPONENT) == FLOAT_EXPONENT;
    return all_ones != 0;
}

// The float nearest to a residual.  A finite pixel stays finite: a residual beyond
// the float range is held at its limit, and one that is not a number keeps the
// pixel's value.
float to_pixel(double r, float original)
{
    if (std::isnan(r)) return original;
    if (r > double(FLT_MAX)) return FLT_MAX;
    if (r < -double(FLT_MAX)) return -FLT_MAX;
    return float(r);
}

} // namespace

void read_floats(float *to, const void *from, int npix)
{
    host_order(to, static_cast<const unsigned char *>(from), npix);
}

void mask_fringe(float *values, unsigned char *state, int npix)
{
    for (int p = 0; p < npix; p++)
        if (!std::isfinite(values[p])) {
            values[p] = 0.0f;
            state[p] = FRINGE_NOT_FINITE;
        }
}

void load_fringe(float *to, const void *from, unsigned char *state, int npix)
{
    const auto *in = static_cast<const unsigned char *>(from);
    for (int b = 0, n; b < npix; b += n) {
        n = std::min(BLOCK, npix - b);
        host_order(to + b, in + 4 * size_t(b), n);
        if (any_not_finite(to + b, n)) mask_fringe(to + b, state + b, n);
    }
}

void residual_to_pixels(float *science, const double *s, const unsigned char *state, int npix)
{
    for (int p = 0; p < npix; p++)
        if (state[p] != SCIENCE_NOT_FINITE) science[p] = to_pixel(s[p], science[p]);
}

void store_residuals(void *to, const double *s, const unsigned char *state, int count)
{
    auto *out = static_cast<unsigned char *>(to);
    for (int p = 0; p < count; p++) {
        if (state[p] == SCIENCE_NOT_FINITE || std::isnan(s[p])) continue;
        store_be<float>(out + 4 * size_t(p), to_pixel(s[p], 0.0f));
    }
}
