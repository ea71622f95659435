// Pixels between the mapping and the fit.
#include "pixels.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

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

// Whether any of v[0..n-1] is infinite or not a number.
bool any_not_finite(const float *v, int n)
{
    uint32_t all_ones = 0;
    for (int p = 0; p < n; p++) all_ones |= !finite_bits(bits_of(v, p));
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
    swap_words32(to, from, npix);
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
        swap_words32(to + b, in + 4 * size_t(b), n);
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
