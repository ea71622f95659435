// The size of a data unit from its header's basic keywords, the one rule that every
// reader, the mapping walk and the tool's unit checks follow: (NAXIS1 x ... x NAXISn
// + PCOUNT) x GCOUNT elements of |BITPIX|/8 bytes, nothing without axes or groups;
// random groups (GROUPS = T in a primary header with NAXIS1 = 0) hold GCOUNT groups
// of PCOUNT parameters and a NAXIS2 x ... x NAXISn array each.
#ifndef TOLV_DATA_SIZE_H
#define TOLV_DATA_SIZE_H

#include <cstdint>

namespace data_size {

// What the keywords say; naxis holds naxes counts.
struct Layout {
    int bitpix;
    int naxes;
    const int *naxis;
    int pcount;
    int gcount;
    bool random_groups;  // GROUPS = T in a primary header
};

struct Size {
    int64_t elements;
    int64_t bytes;  // without the fill to a whole block
};

// The unit's elements and bytes; false when a count is negative or either size
// does not fit int64_t (an invalid header, never a wrap-around).
inline bool of(const Layout &u, Size *size)
{
    *size = {0, 0};
    if (u.naxes < 0 || u.pcount < 0 || u.gcount < 0) return false;
    if (u.naxes == 0 || u.gcount == 0) return true;
    // A random-groups array leaves out NAXIS1, which is 0 and marks the layout.
    const bool groups = u.random_groups && u.naxis[0] == 0;
    int64_t elements = 1;
    for (int i = groups ? 1 : 0; i < u.naxes; i++) {
        if (u.naxis[i] < 0) return false;
        if (__builtin_mul_overflow(elements, int64_t(u.naxis[i]), &elements)) return false;
    }
    if (__builtin_add_overflow(elements, int64_t(u.pcount), &elements)) return false;
    if (__builtin_mul_overflow(elements, int64_t(u.gcount), &elements)) return false;
    const int64_t width = (u.bitpix < 0 ? -int64_t(u.bitpix) : int64_t(u.bitpix)) / 8;
    int64_t bytes = 0;
    if (__builtin_mul_overflow(elements, width, &bytes)) return false;
    *size = {elements, bytes};
    return true;
}

} // namespace data_size

#endif // TOLV_DATA_SIZE_H
