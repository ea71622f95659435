// What the basic keywords (SIMPLE, XTENSION, BITPIX, NAXISn, PCOUNT, GCOUNT) say about a
// header-and-data unit, and the scaling, blank value and linear transforms of an image.
#include "block_layout.h"
#include "data_size.h"
#include "fits.h"
#include "real_precision.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxAxes = 10;      // capacity of FITSBasic.naxis
constexpr int kMaxAxisKey = 999;  // NAXISn keywords fit in 8 columns up to NAXIS999
using block_layout::kBlockBytes;

char *copy_of(const char *text)
{
    const std::size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

bool present(FITSHead fits, const char *name, int n) { return ft_headfind(fits, name, n, 0) != nullptr; }

// The four sizes of the data unit by the one sizing rule, each checked for overflow:
// false when the axes, PCOUNT and GCOUNT describe more bytes than int64_t counts.
// databloks * 2880 is also representable.
bool derive_sizes(_FITSBasic &b, bool random_groups)
{
    b.datapixls = b.databytes = b.databloks = b.row_bytes = 0;
    const int64_t width = (b.bitpix < 0 ? -int64_t(b.bitpix) : int64_t(b.bitpix)) / 8;
    if (b.naxes > 0) b.row_bytes = width * b.naxis[0];  // at most 2^28 * 2^31
    data_size::Size size;
    if (!data_size::of({b.bitpix, b.naxes, b.naxis, b.pcount, b.gcount, random_groups}, &size)) return false;
    int64_t padded = 0;
    if (__builtin_add_overflow(size.bytes, kBlockBytes - 1, &padded)) return false;
    b.datapixls = size.elements;
    b.databytes = size.bytes;
    b.databloks = padded / kBlockBytes;
    return true;
}

// Kind, name and version of the unit; false when memory fails.
bool read_identity(FITSHead fits, _FITSBasic &b)
{
    b.simple = ft_headgetl(fits, "SIMPLE", 0, 0, nullptr);
    if (b.simple) {
        b.name = copy_of("primary");
        return b.name != nullptr;
    }
    b.name = ft_headgets(fits, "EXTNAME", 0, "None", nullptr);
    b.hduname = ft_headgets(fits, "HDUNAME", 0, "None", nullptr);
    b.extn = ft_headgeti(fits, "EXTVER", 0, 0, nullptr);
    return b.name && b.hduname;
}

// Axes, BITPIX, GCOUNT and PCOUNT; false for counts no data unit can have.
bool read_layout(FITSHead fits, _FITSBasic &b)
{
    b.naxes = ft_headgeti(fits, "NAXIS", 0, 0, nullptr);
    if (b.naxes < 0 || b.naxes > kMaxAxes) return false;
    for (int i = 1; i <= b.naxes; i++) {
        b.naxis[i - 1] = ft_headgeti(fits, "NAXIS", i, 0, nullptr);
        if (b.naxis[i - 1] < 0) return false;
    }
    b.bitpix = ft_headgeti(fits, "BITPIX", 0, 0, nullptr);
    b.gcount = ft_headgeti(fits, "GCOUNT", 0, 1, nullptr);
    b.pcount = ft_headgeti(fits, "PCOUNT", 0, 0, nullptr);
    return b.gcount >= 0 && b.pcount >= 0;
}

// One matrix element of a transform and its keyword after the prefix letter.
struct TransformKey {
    const char *suffix;
    int row, col;
    double identity;  // the element's value when the keyword is absent
};

// In the order the keywords are read: TM1_1, TM2_1, TM1_2, TM2_2, TV1, TV2.
constexpr TransformKey kReadOrder[] = {
    {"TM1_1", 0, 0, 1.0}, {"TM2_1", 1, 0, 0.0}, {"TM1_2", 0, 1, 0.0},
    {"TM2_2", 1, 1, 1.0}, {"TV1", 2, 0, 0.0},   {"TV2", 2, 1, 0.0},
};
// In the order they are written: TM1_1, TM1_2, TM2_1, TM2_2, TV1, TV2.
constexpr TransformKey kWriteOrder[] = {
    {"TM1_1", 0, 0, 1.0}, {"TM1_2", 0, 1, 0.0}, {"TM2_1", 1, 0, 0.0},
    {"TM2_2", 1, 1, 1.0}, {"TV1", 2, 0, 0.0},   {"TV2", 2, 1, 0.0},
};

// "LTM1_1" from the prefix 'L' and the suffix "TM1_1".
struct TransformName {
    char text[8];
    TransformName(char prefix, const char *suffix) { std::snprintf(text, sizeof text, "%c%s", prefix, suffix); }
};

// A transform read from its six keywords, defaults making the identity.  It is applied
// whenever a keyword is present or the matrix inverts; a singular matrix keeps an
// all-zero reverse.
void read_transform(FITSHead fits, char prefix, _FITSLinWCS &lcs)
{
    lcs.has_wcs = 0;
    for (const TransformKey &k : kReadOrder) {
        FITSCard card = nullptr;
        lcs.fwd[k.row][k.col] = ft_headgetr(fits, TransformName(prefix, k.suffix).text, 0, k.identity, &card);
        if (card) lcs.has_wcs = 1;
    }
    lcs.has_wcs |= ft_inverse(lcs.fwd, lcs.rev);
}

void write_real(FITSHead fits, const char *name, int n, double value)
{
    ft_headsetr(fits, name, n, value, real_precision::exact(value), nullptr, 0);
}

void write_transform(FITSHead fits, char prefix, const _FITSLinWCS &lcs)
{
    if (!lcs.has_wcs) return;
    for (const TransformKey &k : kWriteOrder)
        write_real(fits, TransformName(prefix, k.suffix).text, 0, lcs.fwd[k.row][k.col]);
}

// NAXISn cards past the old count, each placed after the axis card before it.
void add_axes(FITSHead fits, int from, const _FITSBasic &b)
{
    for (int i = from; i <= b.naxes; i++) {
        if (FITSCard card = ft_headfind(fits, "NAXIS", i, 0)) {
            ft_cardseti(card, b.naxis[i - 1], nullptr);
        } else {
            ft_headinsi(fits, "NAXIS", i, b.naxis[i - 1], nullptr, ft_headfind(fits, "NAXIS", i - 1, 0));
        }
    }
}

} // namespace

extern "C" {

FITSBasic ft_basicloadhead(FITSHead fits)
{
    if (!fits) return nullptr;
    auto *b = static_cast<FITSBasic>(std::calloc(1, sizeof(_FITSBasic)));
    if (!b) return nullptr;
    // Random groups are a layout of primary data only.
    if (!read_identity(fits, *b) || !read_layout(fits, *b) ||
        !derive_sizes(*b, b->simple && ft_headgetl(fits, "GROUPS", 0, 0, nullptr))) {
        ft_basicfree(b);
        return nullptr;
    }
    return b;
}

void ft_basicstorhead(FITSHead fits, FITSBasic basic)
{
    if (!fits || !basic) return;
    int old_axes = ft_headgeti(fits, "NAXIS", 0, 0, nullptr);
    if (old_axes < 0) old_axes = 0;
    if (old_axes > kMaxAxisKey) old_axes = kMaxAxisKey;
    const int naxes = basic->naxes < 0 ? 0 : basic->naxes > kMaxAxes ? kMaxAxes : basic->naxes;

    // An extension begins with XTENSION and has no SIMPLE card.
    if (!present(fits, "XTENSION", 0)) ft_headsetl(fits, "SIMPLE", 0, 1, nullptr, 0);
    ft_headseti(fits, "BITPIX", 0, basic->bitpix, nullptr, 0);
    ft_headseti(fits, "NAXIS", 0, naxes, nullptr, 0);
    for (int i = 1; i <= old_axes; i++) {
        if (i <= naxes) {
            ft_headseti(fits, "NAXIS", i, basic->naxis[i - 1], nullptr, 0);
        } else {
            ft_headdel(fits, "NAXIS", i);
        }
    }
    _FITSBasic axes = *basic;
    axes.naxes = naxes;
    add_axes(fits, old_axes + 1, axes);
    ft_headseti(fits, "GCOUNT", 0, basic->gcount, nullptr, 0);
    ft_headseti(fits, "PCOUNT", 0, basic->pcount, nullptr, 0);
}

void ft_basicfree(FITSBasic basic)
{
    if (!basic) return;
    std::free(basic->name);
    std::free(basic->hduname);
    std::free(basic);
}

FITSImage ft_imageloadhead(FITSHead fits)
{
    if (!fits || !fits->basic) return nullptr;
    if (!ft_headgetl(fits, "SIMPLE", 0, 0, nullptr)) {
        FITSCard xtension = nullptr;
        const char *kind = ft_headget(fits, "XTENSION", 0, &xtension);
        if (!xtension || std::strcmp(kind, "IMAGE") != 0) return nullptr;
    }
    auto *image = static_cast<FITSImage>(std::calloc(1, sizeof(_FITSImage)));
    if (!image) return nullptr;
    FITSCard blank = nullptr;
    image->blank = ft_headgeti(fits, "BLANK", 0, 0, &blank);
    image->has_blank = blank != nullptr;
    image->dbzero = ft_headgetr(fits, "BZERO", 0, 0.0, nullptr);
    image->has_bzero = image->dbzero != 0.0;
    image->dbscale = ft_headgetr(fits, "BSCALE", 0, 1.0, nullptr);
    image->has_bscale = image->dbscale != 1.0;
    read_transform(fits, 'L', image->log);
    read_transform(fits, 'D', image->det);
    read_transform(fits, 'A', image->amp);
    return image;
}

void ft_imagestorhead(FITSHead fits, FITSImage image)
{
    if (!fits || !image) return;
    // BLANK applies to integer data only.
    if (image->has_blank && fits->basic && fits->basic->bitpix > 0)
        ft_headseti(fits, "BLANK", 0, image->blank, nullptr, 0);
    if (image->has_bzero) write_real(fits, "BZERO", 0, image->dbzero);
    if (image->has_bscale) write_real(fits, "BSCALE", 0, image->dbscale);
    write_transform(fits, 'L', image->log);
    write_transform(fits, 'A', image->amp);
    write_transform(fits, 'D', image->det);
}

void ft_imagefree(FITSImage image) { std::free(image); }

} // extern "C"
