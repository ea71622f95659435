// Writing tile-compressed images: an image unit cut into tiles of ZTILE1 x ZTILE2
// (x 1 ...) pixels, each tile coded (RICE_1, GZIP_1, GZIP_2) or kept raw
// (NOCOMPRESS) into the heap of a binary table with one row per tile.  Floats are
// quantized per tile as fpack quantizes them: steps of the background noise over
// quantize, optionally dithered by the standard random sequence, null (non-finite)
// pixels as ZBLANK; a tile that cannot be quantized is kept losslessly.
#include "block_layout.h"
#include "fits.h"
#include "tile_codec.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#ifdef TOLV_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using block_layout::kBlockBytes;
using block_layout::kBlockCards;
using block_layout::kCardBytes;

constexpr int kRiceBlock = 32;             // ZVAL1, pixels per Rice block
constexpr int32_t kNullValue = -2147483647; // ZBLANK of quantized floats
constexpr int32_t kZeroValue = -2147483646; // an exact zero under SUBTRACTIVE_DITHER_2
constexpr int kReserved = 10;              // integers kept back below the quantized range
constexpr int64_t kMaxHeap = 2147483647;   // PCOUNT and the P descriptors are 32-bit

enum class Codec { rice, gzip1, gzip2, none };

struct Failure {
    const char *why;
};

[[noreturn]] void refuse(const char *why) { throw Failure{why}; }

// What is written: the image's shape, its tiles and how they are coded.
struct Plan {
    int bitpix = 0;
    int size = 0;  // bytes per pixel
    int naxes = 0;
    int64_t naxis[10] = {};
    int64_t tile[10] = {};
    int64_t across[10] = {};  // tiles along each axis
    int64_t stride[10] = {};  // pixels between neighbours along each axis
    int64_t ntiles = 0;
    Codec codec = Codec::rice;
    bool quantize = false;
    double q = 0;
    int dither = 0;
    int dither0 = 1;
};

// One coded tile: its bytes for COMPRESSED_DATA (or UNCOMPRESSED_DATA under
// NOCOMPRESS), or, for a float tile that could not be quantized, its lossless form.
struct Tile {
    std::vector<unsigned char> coded;
    std::vector<unsigned char> lossless;
    double scale = 0;
    double zero = 0;
    bool nulls = false;
};

// ---- Pixels in and out of FITS order ---------------------------------------------

uint32_t load32(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint64_t load64(const unsigned char *p) { return uint64_t(load32(p)) << 32 | load32(p + 4); }
void store32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

template <class T>
T load_real(const unsigned char *p);
template <>
float load_real<float>(const unsigned char *p)
{
    const uint32_t bits = load32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
template <>
double load_real<double>(const unsigned char *p)
{
    const uint64_t bits = load64(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Integer pixels (BITPIX 8 unsigned, 16, 32) of a tile's FITS bytes as int32.
void load_integers(const unsigned char *in, int64_t n, int size, int32_t *out)
{
    for (int64_t i = 0; i < n; i++) {
        const unsigned char *p = in + i * size;
        if (size == 1) out[i] = p[0];
        else if (size == 2) out[i] = int16_t(uint16_t(p[0] << 8 | p[1]));
        else out[i] = int32_t(load32(p));
    }
}

// The tile numbered t (0-based, the first axis varying fastest): its FITS bytes
// into out, tile row after tile row, and its extent along each axis into dims.
int64_t gather(const Plan &plan, const unsigned char *data, int64_t t, unsigned char *out, int64_t dims[10])
{
    int64_t start[10];
    int64_t pixels = 1;
    for (int k = 0; k < plan.naxes; k++) {
        const int64_t at = t % plan.across[k];
        t /= plan.across[k];
        start[k] = at * plan.tile[k];
        dims[k] = std::min(plan.tile[k], plan.naxis[k] - start[k]);
        pixels *= dims[k];
    }
    const int64_t run = dims[0] * plan.size;
    int64_t pos[10] = {};
    for (int64_t done = 0; done < pixels; done += dims[0]) {
        int64_t offset = start[0];
        for (int k = 1; k < plan.naxes; k++) offset += (start[k] + pos[k]) * plan.stride[k];
        std::memcpy(out + done * plan.size, data + offset * plan.size, size_t(run));
        for (int k = 1; k < plan.naxes; k++) {
            if (++pos[k] < dims[k]) break;
            pos[k] = 0;
        }
    }
    return pixels;
}

// ---- Codecs -------------------------------------------------------------------------

std::vector<unsigned char> rice(const int32_t *values, int64_t n, int bytepix)
{
    // Every block raw at worst: the first pixel, a code per block, bbits a pixel.
    const int64_t capacity = bytepix * (n + 2) + n / kRiceBlock + 16;
    std::vector<unsigned char> out(static_cast<size_t>(capacity));
    const int64_t used = rice_encode(values, n, bytepix, kRiceBlock, out.data(), capacity);
    if (used < 0) refuse("a tile does not fit its Rice coding buffer");
    out.resize(size_t(used));
    return out;
}

// The pixels' bytes reordered most significant byte of every pixel first, then
// the next, and so on (GZIP_2).
std::vector<unsigned char> shuffled(const unsigned char *in, int64_t n, int size)
{
    std::vector<unsigned char> out(static_cast<size_t>(n * size));
    for (int b = 0; b < size; b++)
        for (int64_t i = 0; i < n; i++) out[size_t(b * n + i)] = in[i * size + b];
    return out;
}

#ifdef TOLV_HAVE_ZLIB
// A gzip stream (RFC 1952, as fpack writes tiles) of the bytes.
std::vector<unsigned char> deflated(const unsigned char *in, int64_t n)
{
    if (n > int64_t(1) << 30) refuse("a tile is too large for GZIP coding (over 1 GiB)");
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
    std::vector<unsigned char> out;
    try {
        out.resize(size_t(deflateBound(&z, uLong(n)) + 64));
    } catch (...) {
        deflateEnd(&z);
        throw;
    }
    z.next_in = const_cast<Bytef *>(in);
    z.avail_in = uInt(n);
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int rc = deflate(&z, Z_FINISH);
    const uLong used = z.total_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) refuse("zlib failed to compress a tile");
    out.resize(size_t(used));
    return out;
}
#else
std::vector<unsigned char> deflated(const unsigned char *, int64_t)
{
    refuse("GZIP_1 needs zlib, which this build was made without");
}
#endif

// The bytes of a tile (pixels of `size` bytes in FITS order) as GZIP_1 or GZIP_2.
std::vector<unsigned char> gzip_tile(Codec codec, const unsigned char *bytes, int64_t n, int size)
{
    if (codec == Codec::gzip2 && size > 1) {
        const std::vector<unsigned char> s = shuffled(bytes, n, size);
        return deflated(s.data(), n * size);
    }
    return deflated(bytes, n * size);
}

// ---- Quantization of floating-point tiles -----------------------------------------

template <class T>
bool is_null(T v)
{
    return !std::isfinite(v);
}

template <class T>
struct Noise {
    int64_t ngood = 0;  // pixels in rows long enough to measure (all of them without nulls)
    T minval, maxval;
    double noise2 = 0, noise3 = 0, noise5 = 0;
};

// The lower median of v[0..n), found by quickselect (Wirth's partitioning, as in
// N. Devillard's public-domain quick_select), which leaves v partly reordered: the
// noise estimate below depends on that order, as fpack's does.
template <class T>
T median_of(std::vector<T> &v, int64_t n)
{
    T *a = v.data();
    int64_t low = 0, high = n - 1;
    const int64_t median = (low + high) / 2;
    for (;;) {
        if (high <= low) return a[median];
        if (high == low + 1) {
            if (a[low] > a[high]) std::swap(a[low], a[high]);
            return a[median];
        }
        // The median of low, middle and high into low, the smallest of them at low + 1.
        const int64_t middle = (low + high) / 2;
        if (a[middle] > a[high]) std::swap(a[middle], a[high]);
        if (a[low] > a[high]) std::swap(a[low], a[high]);
        if (a[middle] > a[low]) std::swap(a[middle], a[low]);
        std::swap(a[middle], a[low + 1]);
        int64_t ll = low + 1, hh = high;
        for (;;) {
            do ll++;
            while (a[low] > a[ll]);
            do hh--;
            while (a[hh] > a[low]);
            if (hh < ll) break;
            std::swap(a[ll], a[hh]);
        }
        std::swap(a[low], a[hh]);
        if (hh <= median) low = ll;
        if (hh >= median) high = hh - 1;
    }
}

double median_of_rows(std::vector<double> &v)
{
    const size_t n = v.size();
    if (n == 0) return 0;
    if (n == 1) return v[0];
    std::sort(v.begin(), v.end());
    return (v[(n - 1) / 2] + v[n / 2]) / 2.;
}

// The background noise of a tile of nx x ny pixels from the median absolute
// differences of every 2nd, 3rd and 5th order along each row (MAD estimators),
// the median over rows; rows need 9 good pixels, and a tile narrower than 9
// counts as one row.  Constant runs are left out.  Also the range of good pixels.
template <class T>
Noise<T> background_noise(const T *a, int64_t nx, int64_t ny)
{
    Noise<T> r;
    r.minval = std::numeric_limits<T>::max();
    r.maxval = -std::numeric_limits<T>::max();
    if (nx < 9) {
        nx *= ny;
        ny = 1;
    }
    auto range = [&r](T v) {
        if (v < r.minval) r.minval = v;
        if (v > r.maxval) r.maxval = v;
    };
    if (nx < 9) {
        for (int64_t i = 0; i < nx; i++)
            if (!is_null(a[i])) {
                range(a[i]);
                r.ngood++;
            }
        return r;
    }
    std::vector<T> d2(static_cast<size_t>(nx)), d3(static_cast<size_t>(nx)), d5(static_cast<size_t>(nx));
    std::vector<double> rows2, rows3, rows5;
    for (int64_t y = 0; y < ny; y++) {
        const T *row = a + y * nx;
        T v[9];
        int64_t i = 0;
        int have = 0;
        // The first eight good pixels of the row.
        for (; i < nx && have < 8; i++) {
            if (is_null(row[i])) continue;
            v[have++] = row[i];
            range(row[i]);
        }
        if (have < 8) continue;
        int64_t n2 = 0, n3 = 0;
        for (; i < nx; i++) {
            if (is_null(row[i])) continue;
            v[8] = row[i];
            range(row[i]);
            if (!(v[4] == v[5] && v[5] == v[6])) d2[size_t(n2++)] = T(std::fabs(v[4] - v[6]));
            if (!(v[2] == v[3] && v[3] == v[4] && v[4] == v[5] && v[5] == v[6])) {
                d3[size_t(n3)] = T(std::fabs((T(2) * v[4]) - v[2] - v[6]));
                d5[size_t(n3)] = T(std::fabs((T(6) * v[4]) - (T(4) * v[2]) - (T(4) * v[6]) + v[0] + v[8]));
                n3++;
            } else {
                r.ngood++;  // constant background: counted, not measured
            }
            for (int k = 0; k < 8; k++) v[k] = v[k + 1];
        }
        r.ngood += n3 + 8;
        if (n3 == 0) continue;
        // The 2nd-order median runs over as many differences as the others, taking
        // in what earlier rows left in d2 past its own (fpack does so; zeros at first).
        if (n3 == 1) {
            if (n2 == 1) rows2.push_back(double(d2[0]));
        } else if (n2 > 1) {
            rows2.push_back(double(median_of(d2, n3)));
        }
        rows3.push_back(double(median_of(d3, n3)));
        rows5.push_back(double(median_of(d5, n3)));
    }
    r.noise2 = 1.0483579 * median_of_rows(rows2);
    r.noise3 = 0.6052697 * median_of_rows(rows3);
    r.noise5 = 0.1772048 * median_of_rows(rows5);
    return r;
}

// The nearest integer, halves away from zero; false outside int32.
bool nearest(double x, int32_t *out)
{
    if (!(x > -2147483648.5 && x < 2147483647.5)) return false;
    *out = x >= 0. ? int32_t(x + .5) : int32_t(x - .5);
    return true;
}

// Quantizes the n = nx x ny pixels of a tile into out: false when the tile cannot
// be (too few pixels, no measurable noise, a range beyond int32), else its ZSCALE,
// ZZERO and whether it holds nulls.  row is the tile's 1-based table row.
template <class T>
bool quantize(const Plan &plan, const T *a, int64_t nx, int64_t ny, int64_t row, int32_t *out, Tile *tile)
{
    const int64_t n = nx * ny;
    if (n <= 1) return false;
    T minval, maxval;
    int64_t ngood = 0;
    double delta;
    if (plan.q > 0) {
        const Noise<T> noise = background_noise(a, nx, ny);
        ngood = noise.ngood;
        minval = noise.minval;
        maxval = noise.maxval;
        double stdev = 1;
        if (ngood == 0) {  // nothing to measure: every pixel null, or nearly
            minval = 0;
            maxval = 1;
        } else {
            stdev = noise.noise3;
            if (noise.noise2 != 0. && noise.noise2 < stdev) stdev = noise.noise2;
            if (noise.noise5 != 0. && noise.noise5 < stdev) stdev = noise.noise5;
        }
        delta = stdev / plan.q;
        if (delta == 0.) return false;
    } else {
        delta = -plan.q;
        minval = std::numeric_limits<T>::max();
        maxval = -std::numeric_limits<T>::max();
        for (int64_t i = 0; i < n; i++) {
            if (is_null(a[i])) continue;
            ngood++;
            minval = std::min(minval, a[i]);
            maxval = std::max(maxval, a[i]);
        }
        if (ngood == 0) {
            minval = 0;
            maxval = 1;
        }
    }
    if (!std::isfinite(delta) || double(maxval - minval) / delta > 2. * 2147483647. - kReserved) return false;

    // The zero point: the range starts just above the reserved integers when nulls
    // (or exact zeros) need them, else at a multiple of the step near the minimum.
    double zero;
    const double low_end = double(minval) - delta * double(kNullValue + kReserved);
    if (ngood != n || plan.dither == 2) {
        zero = low_end;
    } else if (double(maxval - minval) / delta < 2147483647. - kReserved) {
        const double steps = double(minval) / delta + .5;
        zero = std::fabs(steps) < 9.0e18 ? double(int64_t(steps)) * delta : double(minval);
    } else {
        zero = double(minval + maxval) / 2.;
    }

    const float *random = dither_sequence();
    int64_t iseed = 0;
    int next = 0;
    if (plan.dither) {
        iseed = (row - 1 + plan.dither0 - 1) % DITHER_VALUES;
        next = int(random[iseed] * 500);
    }
    bool nulls = false;
    for (int64_t i = 0; i < n; i++) {
        const T v = a[i];
        if (is_null(v)) {
            out[i] = kNullValue;
            nulls = true;
        } else if (plan.dither == 2 && v == T(0)) {
            out[i] = kZeroValue;
        } else {
            double x = (double(v) - zero) / delta;
            if (plan.dither) x = x + double(random[next]) - 0.5;
            if (!nearest(x, &out[i])) return false;
        }
        if (plan.dither && ++next == DITHER_VALUES) {
            if (++iseed == DITHER_VALUES) iseed = 0;
            next = int(random[iseed] * 500);
        }
    }
    tile->scale = delta;
    tile->zero = zero;
    tile->nulls = nulls;
    return true;
}

// ---- Tiles -------------------------------------------------------------------------

template <class T>
void code_float_tile(const Plan &plan, const unsigned char *bytes, int64_t n, const int64_t dims[10], int64_t row,
                     Tile *tile)
{
    std::vector<T> values(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; i++) values[size_t(i)] = load_real<T>(bytes + i * plan.size);
    std::vector<int32_t> q(static_cast<size_t>(n));
    const int64_t nx = dims[0];
    if (!quantize(plan, values.data(), nx, n / nx, row, q.data(), tile)) {
#ifdef TOLV_HAVE_ZLIB
        tile->lossless = deflated(bytes, n * plan.size);
#else
        tile->lossless.assign(bytes, bytes + n * plan.size);
#endif
        tile->scale = tile->zero = 0;
        return;
    }
    if (plan.codec == Codec::rice) {
        tile->coded = rice(q.data(), n, 4);
        return;
    }
    std::vector<unsigned char> be(static_cast<size_t>(n) * 4);
    for (int64_t i = 0; i < n; i++) store32(&be[size_t(i) * 4], uint32_t(q[size_t(i)]));
    tile->coded = gzip_tile(plan.codec, be.data(), n, 4);
}

void code_tile(const Plan &plan, const unsigned char *data, int64_t t, std::vector<unsigned char> &scratch,
               std::vector<int32_t> &integers, Tile *tile)
{
    int64_t dims[10] = {};
    const int64_t n = gather(plan, data, t, scratch.data(), dims);
    const unsigned char *bytes = scratch.data();
    if (plan.quantize) {
        if (plan.bitpix == -32) code_float_tile<float>(plan, bytes, n, dims, t + 1, tile);
        else code_float_tile<double>(plan, bytes, n, dims, t + 1, tile);
        return;
    }
    switch (plan.codec) {
    case Codec::rice:
        load_integers(bytes, n, plan.size, integers.data());
        tile->coded = rice(integers.data(), n, plan.size);
        break;
    case Codec::gzip1:
    case Codec::gzip2: tile->coded = gzip_tile(plan.codec, bytes, n, plan.size); break;
    case Codec::none: tile->coded.assign(bytes, bytes + n * plan.size); break;
    }
}

// ---- The plan from the image and how ----------------------------------------------

Codec codec_named(const char *type, size_t length)
{
    const std::string name(type, length);
    if (name == "RICE_1") return Codec::rice;
    if (name == "GZIP_1") return Codec::gzip1;
    if (name == "GZIP_2") return Codec::gzip2;
    if (name == "NOCOMPRESS") return Codec::none;
    refuse("the compression type is not RICE_1, GZIP_1, GZIP_2 or NOCOMPRESS");
}

Plan make_plan(FITSHead image, const FITSCompress *how)
{
    const FITSBasic b = image->basic;
    if (!b) refuse("the image header cannot be read");
    if (!b->simple) {
        std::string x = ft_headget(image, "XTENSION", 0, nullptr);
        while (!x.empty() && x.back() == ' ') x.pop_back();
        if (x != "IMAGE") refuse("the unit is not an image");
    }
    Plan p;
    p.bitpix = b->bitpix;
    if (p.bitpix != 8 && p.bitpix != 16 && p.bitpix != 32 && p.bitpix != 64 && p.bitpix != -32 && p.bitpix != -64)
        refuse("the image's BITPIX is not 8, 16, 32, 64, -32 or -64");
    p.size = std::abs(p.bitpix) / 8;
    if (b->naxes < 1 || b->naxes > 10) refuse("the image has no axes");
    if (b->pcount != 0 || b->gcount != 1) refuse("the image has PCOUNT or GCOUNT other than 0 and 1");
    p.naxes = b->naxes;
    for (int k = 0; k < p.naxes; k++) {
        if (b->naxis[k] < 1) refuse("the image has no pixels");
        p.naxis[k] = b->naxis[k];
    }
    p.codec = codec_named(how->type, strnlen(how->type, sizeof how->type));
#ifndef TOLV_HAVE_ZLIB
    if (p.codec == Codec::gzip1 || p.codec == Codec::gzip2)
        refuse(p.codec == Codec::gzip1 ? "GZIP_1 needs zlib, which this build was made without"
                                       : "GZIP_2 needs zlib, which this build was made without");
#endif
    const bool real = p.bitpix < 0;
    if (!std::isfinite(how->quantize)) refuse("quantize is not a finite number");
    p.quantize = real && how->quantize != 0 && p.codec != Codec::none;
    if (p.codec == Codec::rice && !p.quantize) {
        if (real) refuse("RICE_1 codes floats only when they are quantized (quantize 0 asks for them unchanged)");
        if (p.bitpix == 64) refuse("RICE_1 codes integers of up to 32 bits, not BITPIX 64");
    }
    if (p.quantize) {
        p.q = how->quantize;
        if (how->dither < 0 || how->dither > 2) refuse("dither is not 0, 1 or 2");
        p.dither = how->dither;
        p.dither0 = how->dither0 == 0 ? 1 : how->dither0;
        if (p.dither && (p.dither0 < 1 || p.dither0 > DITHER_VALUES)) refuse("dither0 is not within 1..10000");
    }

    // Tiles: ZTILE1 x ZTILE2 (the row and one row when 0), 1 along further axes.
    for (int k = 0; k < p.naxes; k++) {
        int64_t t = k < 2 ? how->tile[k] : 1;
        if (t < 0) refuse("a tile size is negative");
        if (t == 0) t = k == 0 ? p.naxis[0] : 1;
        p.tile[k] = std::min(t, p.naxis[k]);
        p.across[k] = (p.naxis[k] + p.tile[k] - 1) / p.tile[k];
    }
    p.ntiles = 1;
    p.stride[0] = 1;
    for (int k = 0; k < p.naxes; k++) {
        if (__builtin_mul_overflow(p.ntiles, p.across[k], &p.ntiles) || p.ntiles > 2147483647)
            refuse("the image has more tiles than a table has rows");
        if (k > 0 && __builtin_mul_overflow(p.stride[k - 1], p.naxis[k - 1], &p.stride[k]))
            refuse("the image's size overflows");
    }
    return p;
}

// ---- The table's header ------------------------------------------------------------

// Columns 1-8 of card are name, or name followed by digits when numbered.
bool keyword_is(const FITSBuff &card, const char *name, bool numbered = false)
{
    const size_t n = std::strlen(name);
    if (std::memcmp(card.c, name, n) != 0) return false;
    size_t i = n;
    if (numbered)
        while (i < 8 && card.c[i] >= '0' && card.c[i] <= '9') i++;
    for (; i < 8; i++)
        if (card.c[i] != ' ') return false;
    return true;
}

// Cards of the image that describe its structure, or that the table's own
// structure and compression keywords replace.
bool replaced(const FITSBuff &c)
{
    static const char *const plain[] = {"SIMPLE",   "XTENSION", "BITPIX",   "NAXIS",    "PCOUNT",   "GCOUNT",
                                        "END",      "EXTEND",   "BLOCKED",  "CHECKSUM", "DATASUM",  "TFIELDS",
                                        "THEAP",    "ZIMAGE",   "ZCMPTYPE", "ZBITPIX",  "ZNAXIS",   "ZSIMPLE",
                                        "ZTENSION", "ZPCOUNT",  "ZGCOUNT",  "ZQUANTIZ", "ZDITHER0", "ZBLANK",
                                        "ZHECKSUM", "ZDATASUM", "ZEXTEND",  "ZBLOCKED", "ZSCALE",   "ZZERO"};
    static const char *const numbered[] = {"NAXIS", "TTYPE", "TFORM", "ZNAXIS", "ZTILE", "ZNAME", "ZVAL"};
    for (const char *k : plain)
        if (keyword_is(c, k)) return true;
    for (const char *k : numbered)
        if (keyword_is(c, k, true)) return true;
    return std::all_of(c.c, c.c + kCardBytes, [](char ch) { return ch == ' '; });
}

bool has_keyword(FITSHead h, const char *name)
{
    for (int i = 0; i < h->ncard; i++)
        if (keyword_is(h->cards[i], name)) return true;
    return false;
}

// The value text of the card `name` among n cards, "" when none.
std::string value_of(const FITSBuff *cards, int n, const char *name)
{
    for (int i = 0; i < n; i++)
        if (keyword_is(cards[i], name)) return ft_cardget(const_cast<FITSCard>(&cards[i]));
    return "";
}

// CHECKSUM and DATASUM of the image unit as given, for ZHECKSUM and ZDATASUM: the
// image's header blocks with those cards set for its data.
void image_sums(FITSHead image, const unsigned char *data, std::string *checksum, std::string *datasum)
{
    const int ncard = image->ncard;
    const int blocks = (ncard + kBlockCards - 1) / kBlockCards;
    std::vector<FITSBuff> cards(static_cast<size_t>(blocks) * kBlockCards);
    std::memset(cards.data(), ' ', cards.size() * sizeof(FITSBuff));
    std::memcpy(cards.data(), image->cards, size_t(ncard) * sizeof(FITSBuff));
    const uint32_t sum = ft_checksum(data, image->basic->databytes, 0);
    ft_checksumset(cards.data(), int(cards.size()), sum);
    *checksum = value_of(cards.data(), int(cards.size()), "CHECKSUM");
    *datasum = value_of(cards.data(), int(cards.size()), "DATASUM");
}

struct Column {
    const char *name;
    std::string form;
    int width;
};

// A header under construction, released unless handed on.  Cards in fixed
// format: strings quoted from column 11 (at least 8 characters inside the quotes),
// numbers and logicals right-justified to column 30, then the comment.
struct Header {
    FITSHead h = ft_headinit(nullptr, 0);
    ~Header() { ft_headfree(h, 1); }
    void put(const char *name, int n, const std::string &value, bool quoted, const char *comm)
    {
        char key[16];
        std::snprintf(key, sizeof key, n > 0 ? "%s%d" : "%s", name, n);
        std::string text = key;
        text.resize(8, ' ');
        text += "= ";
        if (quoted) {
            std::string v = value;
            if (v.size() < 8) v.resize(8, ' ');
            text += "'" + v + "'";
            if (text.size() < 30) text.resize(30, ' ');
        } else {
            text += std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value;
        }
        if (comm && text.size() + 3 < size_t(kCardBytes)) text += std::string(" / ") + comm;
        FITSBuff c;
        std::memset(c.c, ' ', sizeof c.c);
        std::memcpy(c.c, text.data(), std::min(text.size(), sizeof c.c));
        card(c);
    }
    void i(const char *name, int n, int64_t v, const char *comm) { put(name, n, std::to_string(v), false, comm); }
    void s(const char *name, int n, const char *v, const char *comm) { put(name, n, v, true, comm); }
    void l(const char *name, int v, const char *comm) { put(name, 0, v ? "T" : "F", false, comm); }
    void card(FITSBuff c)
    {
        if (!ft_cardapp(h, &c)) throw std::bad_alloc();
    }
};

const char *codec_text(Codec c)
{
    switch (c) {
    case Codec::rice: return "RICE_1";
    case Codec::gzip1: return "GZIP_1";
    case Codec::gzip2: return "GZIP_2";
    case Codec::none: return "NOCOMPRESS";
    }
    return "";
}

char element_letter(int bitpix)
{
    switch (bitpix) {
    case 8: return 'B';
    case 16: return 'I';
    case 32: return 'J';
    case 64: return 'K';
    case -32: return 'E';
    default: return 'D';
    }
}

struct Layout {
    std::vector<Column> columns;
    bool plain_column = false;  // UNCOMPRESSED_DATA
    bool gzip_column = false;   // GZIP_COMPRESSED_DATA
    int width = 0;
    int64_t heap = 0;
};

Layout table_layout(const Plan &plan, const std::vector<Tile> &tiles)
{
    Layout t;
    int64_t most = 0, most_plain = 0, most_lossless = 0;
    for (const Tile &tile : tiles) {
        const int64_t coded = int64_t(tile.coded.size()), lossless = int64_t(tile.lossless.size());
        if (plan.codec == Codec::none) most_plain = std::max(most_plain, coded / plan.size);
        else most = std::max(most, coded);
        if (!tile.lossless.empty()) {
#ifdef TOLV_HAVE_ZLIB
            t.gzip_column = true;
            most_lossless = std::max(most_lossless, lossless);
#else
            t.plain_column = true;
            most_plain = std::max(most_plain, lossless / plan.size);
#endif
        }
        if (__builtin_add_overflow(t.heap, coded + lossless, &t.heap) || t.heap > kMaxHeap)
            refuse("the compressed tiles need a heap of more than 2^31 bytes");
    }
    if (plan.codec == Codec::none) t.plain_column = true;
    t.columns.push_back({"COMPRESSED_DATA", "1PB(" + std::to_string(most) + ")", 8});
    if (t.plain_column)
        t.columns.push_back(
            {"UNCOMPRESSED_DATA", std::string("1P") + element_letter(plan.bitpix) + "(" + std::to_string(most_plain) + ")",
             8});
    if (plan.quantize) {
        t.columns.push_back({"ZSCALE", "1D", 8});
        t.columns.push_back({"ZZERO", "1D", 8});
    }
    if (t.gzip_column) t.columns.push_back({"GZIP_COMPRESSED_DATA", "1PB(" + std::to_string(most_lossless) + ")", 8});
    for (const Column &c : t.columns) t.width += c.width;
    return t;
}

void write_header(Header &out, FITSHead image, const unsigned char *data, const Plan &plan, const Layout &t,
                  bool nulls)
{
    out.s("XTENSION", 0, "BINTABLE", "binary table extension");
    out.i("BITPIX", 0, 8, "8-bit bytes");
    out.i("NAXIS", 0, 2, "2-dimensional binary table");
    out.i("NAXIS1", 0, t.width, "width of table in bytes");
    out.i("NAXIS2", 0, plan.ntiles, "number of rows in table");
    out.i("PCOUNT", 0, t.heap, "size of special data area");
    out.i("GCOUNT", 0, 1, "one data group");
    out.i("TFIELDS", 0, int64_t(t.columns.size()), "number of fields in each row");
    for (size_t c = 0; c < t.columns.size(); c++) {
        out.s("TTYPE", int(c + 1), t.columns[c].name, "label for field");
        out.s("TFORM", int(c + 1), t.columns[c].form.c_str(), "data format of field");
    }
    out.l("ZIMAGE", 1, "extension contains compressed image");
    for (int k = 0; k < plan.naxes; k++) out.i("ZTILE", k + 1, plan.tile[k], "size of tiles to be compressed");
    out.s("ZCMPTYPE", 0, codec_text(plan.codec), "compression algorithm");
    if (plan.codec == Codec::rice) {
        out.s("ZNAME", 1, "BLOCKSIZE", "compression block size");
        out.i("ZVAL", 1, kRiceBlock, "pixels per block");
        out.s("ZNAME", 2, "BYTEPIX", "bytes per pixel (1, 2, 4, or 8)");
        out.i("ZVAL", 2, plan.quantize ? 4 : plan.size, "bytes per pixel (1, 2, 4, or 8)");
    }
    if (image->basic->simple) out.l("ZSIMPLE", 1, "file does conform to FITS standard");
    else out.s("ZTENSION", 0, "IMAGE", "Image extension");
    out.i("ZBITPIX", 0, plan.bitpix, "data type of original image");
    out.i("ZNAXIS", 0, plan.naxes, "dimension of original image");
    for (int k = 0; k < plan.naxes; k++) out.i("ZNAXIS", k + 1, plan.naxis[k], "length of original image axis");
    if (!image->basic->simple) {
        out.i("ZPCOUNT", 0, 0, "number of parameters");
        out.i("ZGCOUNT", 0, 1, "number of groups");
    }
    if (plan.quantize) {
        static const char *const methods[] = {"NO_DITHER", "SUBTRACTIVE_DITHER_1", "SUBTRACTIVE_DITHER_2"};
        out.s("ZQUANTIZ", 0, methods[plan.dither], "pixel quantization algorithm");
        if (plan.dither) out.i("ZDITHER0", 0, plan.dither0, "dithering offset when quantizing floats");
        if (nulls) out.i("ZBLANK", 0, kNullValue, "null value in the compressed integer array");
    } else if (plan.bitpix < 0) {
        out.s("ZQUANTIZ", 0, "NONE", "floats stored losslessly");
    }
    // The image's own keywords; EXTEND and BLOCKED of a primary keep their Z names.
    for (int i = 0; i < image->ncard; i++) {
        FITSBuff c = image->cards[i];
        if (keyword_is(c, "EXTEND") || keyword_is(c, "BLOCKED")) {
            std::memmove(c.c + 1, c.c, 7);
            c.c[0] = 'Z';
            out.card(c);
            continue;
        }
        if (!replaced(c)) out.card(c);
    }
    const bool checksum = has_keyword(image, "CHECKSUM"), datasum = has_keyword(image, "DATASUM");
    if (checksum || datasum) {
        std::string zheck, zdata;
        image_sums(image, data, &zheck, &zdata);
        if (checksum) out.s("ZHECKSUM", 0, zheck.c_str(), "HDU checksum of the image");
        if (datasum) out.s("ZDATASUM", 0, zdata.c_str(), "data unit checksum of the image");
        if (checksum) out.s("CHECKSUM", 0, "0000000000000000", "HDU checksum");
        if (datasum) out.s("DATASUM", 0, "0", "data unit checksum");
    }
}

// ---- The unit ------------------------------------------------------------------------

void put_descriptor(unsigned char *p, int64_t count, int64_t offset)
{
    store32(p, uint32_t(count));
    store32(p + 4, uint32_t(offset));
}

void put_double(unsigned char *p, double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    store32(p, uint32_t(bits >> 32));
    store32(p + 4, uint32_t(bits));
}

int64_t whole_blocks(int64_t bytes) { return (bytes + kBlockBytes - 1) / kBlockBytes * kBlockBytes; }

// The table rows and the heap after them, at out (zeroed, the data unit's bytes).
void fill_table(unsigned char *out, const Plan &plan, const Layout &t, const std::vector<Tile> &tiles)
{
    unsigned char *heap = out + int64_t(t.width) * plan.ntiles;
    int64_t at = 0;
    for (int64_t r = 0; r < plan.ntiles; r++) {
        const Tile &tile = tiles[size_t(r)];
        unsigned char *row = out + r * t.width;
        const int64_t coded = int64_t(tile.coded.size()), lossless = int64_t(tile.lossless.size());
        int col = 0;
        // COMPRESSED_DATA, and UNCOMPRESSED_DATA (elements) when present.
        if (plan.codec != Codec::none) put_descriptor(row, coded, at);
        col += 8;
        if (t.plain_column) {
            if (plan.codec == Codec::none) put_descriptor(row + col, coded / plan.size, at);
            else if (lossless) put_descriptor(row + col, lossless / plan.size, at + coded);
            col += 8;
        }
        if (plan.quantize) {
            put_double(row + col, tile.scale);
            put_double(row + col + 8, tile.zero);
            col += 16;
        }
        if (t.gzip_column && lossless) put_descriptor(row + col, lossless, at + coded);
        if (coded) std::memcpy(heap + at, tile.coded.data(), size_t(coded));
        if (lossless) std::memcpy(heap + at + coded, tile.lossless.data(), size_t(lossless));
        at += coded + lossless;
    }
}

void make_unit(FITSHead image, const unsigned char *data, const FITSCompress *how, void **unit, int64_t *bytes)
{
    const Plan plan = make_plan(image, how);
    std::vector<Tile> tiles(static_cast<size_t>(plan.ntiles));
    int64_t tile_pixels = 1;
    for (int k = 0; k < plan.naxes; k++) tile_pixels *= plan.tile[k];
    std::vector<unsigned char> scratch(static_cast<size_t>(tile_pixels * plan.size));
    std::vector<int32_t> integers(plan.codec == Codec::rice && !plan.quantize ? static_cast<size_t>(tile_pixels) : 0);
    bool nulls = false;
    for (int64_t t = 0; t < plan.ntiles; t++) {
        code_tile(plan, data, t, scratch, integers, &tiles[size_t(t)]);
        nulls = nulls || tiles[size_t(t)].nulls;
    }
    const Layout layout = table_layout(plan, tiles);

    Header header;
    if (!header.h) throw std::bad_alloc();
    write_header(header, image, data, plan, layout, nulls);
    const int64_t header_bytes = whole_blocks(int64_t(header.h->ncard) * kCardBytes);
    const int64_t data_bytes = int64_t(layout.width) * plan.ntiles + layout.heap;
    const int64_t total = header_bytes + whole_blocks(data_bytes);
    if (total < 0 || uint64_t(total) > SIZE_MAX) refuse("the compressed unit is too large for memory");
    auto *out = static_cast<unsigned char *>(std::calloc(1, size_t(total)));
    if (!out) throw std::bad_alloc();
    std::memset(out, ' ', size_t(header_bytes));
    std::memcpy(out, header.h->cards, size_t(header.h->ncard) * kCardBytes);
    fill_table(out + header_bytes, plan, layout, tiles);
    const uint32_t datasum = ft_checksum(out + header_bytes, total - header_bytes, 0);
    ft_checksumset(reinterpret_cast<FITSCard>(out), int(header_bytes / kCardBytes), datasum);
    *unit = out;
    *bytes = total;
}

void put_why(char *why, int len, const char *text)
{
    if (why && len > 0) std::snprintf(why, size_t(len), "%s", text);
}

} // namespace

extern "C" int ft_compimagemake(FITSHead image, const void *data, const FITSCompress *how, void **unit,
                                int64_t *bytes, char *why, int len)
{
    put_why(why, len, "");
    if (unit) *unit = nullptr;
    if (bytes) *bytes = 0;
    if (!image || !data || !how || !unit || !bytes) {
        put_why(why, len, "a null argument");
        return 0;
    }
    try {
        make_unit(image, static_cast<const unsigned char *>(data), how, unit, bytes);
        return 1;
    } catch (const Failure &f) {
        put_why(why, len, f.why);
    } catch (...) {
        put_why(why, len, "out of memory");
    }
    return 0;
}
