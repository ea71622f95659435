// The random sequence of subtractive dithering: 10000 values of the Park-Miller
// minimal standard generator (a = 16807, m = 2^31 - 1) from seed 1, computed in
// double precision as the FITS tiled-image convention writes it, so that every
// reader and writer of dithered tiles adds and removes the same offsets.
#include "tile_codec.h"

#include <array>

namespace {

std::array<float, DITHER_VALUES> make_sequence()
{
    constexpr double a = 16807.0;
    constexpr double m = 2147483647.0;
    std::array<float, DITHER_VALUES> values{};
    double seed = 1.0;
    for (float &value : values) {
        const double product = a * seed;
        seed = product - m * static_cast<double>(static_cast<int>(product / m));
        value = static_cast<float>(seed / m);
    }
    return values;
}

}  // namespace

const float *dither_sequence()
{
    static const std::array<float, DITHER_VALUES> values = make_sequence();
    return values.data();
}
