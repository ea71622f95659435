// Pixels between the mapping and the fit.
#include "pixels.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

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

void read_floats(float *to, const void *from, int npix) { swap4(to, from, int64_t(npix) * 4); }

void mask_fringe(float *values, unsigned char *state, int npix)
{
    for (int p = 0; p < npix; p++)
        if (!std::isfinite(values[p])) {
            values[p] = 0.0f;
            state[p] = FRINGE_NOT_FINITE;
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
        const float v = to_pixel(s[p], 0.0f);
        uint32_t u;
        std::memcpy(&u, &v, 4);
        if constexpr (std::endian::native == std::endian::little) u = __builtin_bswap32(u);
        std::memcpy(out + 4 * size_t(p), &u, 4);
    }
}

void store_extension(Mosaic m, int e, const float *pixels, int npix)
{
    swap4(m->data[e], pixels, int64_t(npix) * 4);
}
