// Reading tile-compressed images: a binary table with ZIMAGE = T holds one tile of
// the image per row (Rice, gzip, shuffled gzip or plain bytes in the heap), the
// image's keywords beside the Z keywords that describe it.  Floats may be quantized
// to integers per tile (ZSCALE, ZZERO), with or without subtractive dithering.
#include "fits.h"
#include "keyword_card.h"
#include "tile_codec.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#ifdef TOLV_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

constexpr int kMaxAxes = 10;  // the axes a header's basic description holds

enum class Codec { kRice, kGzip1, kGzip2, kNone };
enum class Dither { kNone, kSubtractive1, kSubtractive2 };

// SUBTRACTIVE_DITHER_2 codes an exact zero with this value.
constexpr int32_t kZeroValue = -2147483646;

// Why a call fails, written into the caller's buffer (which may be absent).
struct Why {
    char *text;
    int len;
    bool operator()(const char *format, ...) const __attribute__((format(printf, 2, 3)))
    {
        if (text && len > 0) {
            va_list args;
            va_start(args, format);
            std::vsnprintf(text, size_t(len), format, args);
            va_end(args);
        }
        return false;
    }
};

// ---- Keywords ----

enum class Key { kMissing, kBad, kOk };

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return s;
}

// An integer keyword, whole and within int64_t.
Key int_key(FITSHead fits, const char *name, int n, int64_t *value)
{
    FITSCard card = nullptr;
    const char *text = ft_headget(fits, name, n, &card);
    if (!card) return Key::kMissing;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || !trimmed(end).empty()) return Key::kBad;
    *value = v;
    return Key::kOk;
}

Key real_key(FITSHead fits, const char *name, int n, double *value)
{
    FITSCard card = nullptr;
    std::string text = ft_headget(fits, name, n, &card);
    if (!card) return Key::kMissing;
    for (char &c : text)
        if (c == 'D' || c == 'd') c = 'E';
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !trimmed(end).empty()) return Key::kBad;
    *value = v;
    return Key::kOk;
}

bool string_key(FITSHead fits, const char *name, int n, std::string *value)
{
    FITSCard card = nullptr;
    const char *text = ft_headget(fits, name, n, &card);
    if (!card) return false;
    *value = std::string(trimmed(text));
    return true;
}

// ---- The table's layout ----

// A column of the table: where it lies in a row, its element letter, and for a heap
// column whether its descriptors are 64-bit (Q).
struct Column {
    int offset = -1;
    int letter = 0;
    int size = 0;  // bytes of an element
    bool q = false;
    bool present() const { return offset >= 0; }
};

struct Layout {
    int zbitpix = 0;
    int naxes = 0;
    int64_t naxis[kMaxAxes] = {};
    int64_t tile[kMaxAxes] = {};  // tile extent along each axis, at most the axis
    int64_t across[kMaxAxes] = {};  // tiles along each axis
    int64_t ntiles = 0;
    int64_t pixels = 0;
    Codec codec = Codec::kRice;
    std::string type;
    int blocksize = 32;
    int bytepix = 4;
    bool quantized = false;
    Dither dither = Dither::kNone;
    int64_t dither0 = 1;
    bool scale_key = false, zero_key = false, blank_key = false;
    double scale = 1.0, zero = 0.0;
    int64_t blank = 0;
    Column data, uncompressed, gzipped, zscale, zzero, zblank;
    int64_t row_bytes = 0, rows = 0, heap = 0, end = 0;
};

int pixel_bytes(int bitpix) { return (bitpix < 0 ? -bitpix : bitpix) / 8; }

bool find_column(FITSTable table, const char *name, Column *c)
{
    for (int i = 0; i < table->tfields; i++) {
        const _FITSTCol &col = table->col[i];
        if (!col.name || trimmed(col.name) != name) continue;
        c->offset = col.offset;
        c->letter = col.type;
        c->size = col.heap ? ft_sizeof(col.type) : col.size;
        c->q = col.heap && col.width == 16;
        return true;
    }
    return false;
}

// A column present in the table, checked: a heap column of descriptors, or a
// fixed one of one numeric element, lying within the row.
bool check_column(const Layout &l, FITSTable table, const char *name, bool heap, Column *c, const Why &why)
{
    if (!find_column(table, name, c)) return true;
    for (int i = 0; i < table->tfields; i++) {
        const _FITSTCol &col = table->col[i];
        if (col.offset != c->offset || !col.name || trimmed(col.name) != name) continue;
        if (bool(col.heap) != heap)
            return why(heap ? "column %s is not a variable-length array" : "column %s is a variable-length array",
                       name);
        const int64_t width = col.width;
        if (col.offset < 0 || width < 0 || col.offset + width > l.row_bytes)
            return why("column %s lies outside the table's rows", name);
        if (heap) {
            if (c->size <= 0 || c->letter == 'P' || c->letter == 'Q')
                return why("column %s has no numeric element type", name);
        } else {
            const bool numeric = std::strchr("BIJKED", c->letter) && c->letter;
            if (!numeric || col.n < 1) return why("column %s is not a numeric value per row", name);
        }
        return true;
    }
    return true;
}

bool read_codec(FITSHead fits, Layout *l, const Why &why)
{
    if (!string_key(fits, "ZCMPTYPE", 0, &l->type)) return why("ZCMPTYPE is missing");
    if (l->type == "RICE_1" || l->type == "RICE_ONE") {
        l->codec = Codec::kRice;
        l->type = "RICE_1";
    } else if (l->type == "GZIP_1") {
        l->codec = Codec::kGzip1;
    } else if (l->type == "GZIP_2") {
        l->codec = Codec::kGzip2;
    } else if (l->type == "NOCOMPRESS") {
        l->codec = Codec::kNone;
    } else if (l->type == "HCOMPRESS_1" || l->type == "PLIO_1") {
        return why("%s tiles are not read (RICE_1, GZIP_1, GZIP_2 and NOCOMPRESS are)", l->type.c_str());
    } else {
        return why("ZCMPTYPE '%.20s' is no compression type read here", l->type.c_str());
    }
#ifndef TOLV_HAVE_ZLIB
    if (l->codec == Codec::kGzip1 || l->codec == Codec::kGzip2)
        return why("%s tiles need zlib, which this build leaves out", l->type.c_str());
#endif
    // The codec's parameters: ZNAMEi names, ZVALi values.
    for (int i = 1; i < 1000; i++) {
        std::string name;
        if (!string_key(fits, "ZNAME", i, &name)) break;
        int64_t v = 0;
        const Key k = int_key(fits, "ZVAL", i, &v);
        if (name == "BLOCKSIZE" || name == "BYTEPIX") {
            if (k != Key::kOk || v < 1 || v > 1 << 20)
                return why("ZVAL%d of %s is not a usable value", i, name.c_str());
            (name == "BLOCKSIZE" ? l->blocksize : l->bytepix) = int(v);
        }
    }
    if (l->codec == Codec::kRice) {
        if (l->bytepix != 1 && l->bytepix != 2 && l->bytepix != 4)
            return why("RICE_1 with BYTEPIX %d is not read (1, 2 or 4 are)", l->bytepix);
        if (l->zbitpix == 64) return why("RICE_1 tiles of 64-bit integers are not read");
    }
    return true;
}

bool read_geometry(FITSHead fits, Layout *l, const Why &why)
{
    int64_t v = 0;
    if (int_key(fits, "ZBITPIX", 0, &v) != Key::kOk) return why("ZBITPIX is missing or not an integer");
    if (v != 8 && v != 16 && v != 32 && v != 64 && v != -32 && v != -64)
        return why("ZBITPIX %lld is no BITPIX", (long long)v);
    l->zbitpix = int(v);
    if (int_key(fits, "ZNAXIS", 0, &v) != Key::kOk) return why("ZNAXIS is missing or not an integer");
    if (v < 0 || v > kMaxAxes) return why("ZNAXIS %lld is outside 0..%d", (long long)v, kMaxAxes);
    l->naxes = int(v);
    l->pixels = l->naxes ? 1 : 0;
    l->ntiles = l->naxes ? 1 : 0;
    for (int i = 0; i < l->naxes; i++) {
        if (int_key(fits, "ZNAXIS", i + 1, &v) != Key::kOk) return why("ZNAXIS%d is missing or not an integer", i + 1);
        if (v < 0 || v > std::numeric_limits<int>::max())
            return why("ZNAXIS%d = %lld is out of range", i + 1, (long long)v);
        l->naxis[i] = v;
        if (__builtin_mul_overflow(l->pixels, v, &l->pixels)) return why("the image's size (ZNAXISn) overflows");
        int64_t t = i == 0 ? l->naxis[0] : 1;
        const Key k = int_key(fits, "ZTILE", i + 1, &t);
        if (k == Key::kBad || t < 1) return why("ZTILE%d is not a positive integer", i + 1);
        l->tile[i] = t < v ? t : (v > 0 ? v : 1);
        l->across[i] = v == 0 ? 0 : (v + l->tile[i] - 1) / l->tile[i];
        if (__builtin_mul_overflow(l->ntiles, l->across[i], &l->ntiles)) return why("the tile count overflows");
    }
    int64_t bytes = 0;
    if (__builtin_mul_overflow(l->pixels, int64_t(pixel_bytes(l->zbitpix)), &bytes))
        return why("the image's size (ZNAXISn) overflows");
    return true;
}

bool read_quantization(FITSHead fits, Layout *l, const Why &why)
{
    const Key s = real_key(fits, "ZSCALE", 0, &l->scale);
    const Key z = real_key(fits, "ZZERO", 0, &l->zero);
    const Key b = int_key(fits, "ZBLANK", 0, &l->blank);
    if (s == Key::kBad || z == Key::kBad || b == Key::kBad) return why("ZSCALE, ZZERO or ZBLANK is not a number");
    l->scale_key = s == Key::kOk;
    l->zero_key = z == Key::kOk;
    l->blank_key = b == Key::kOk;
    std::string q;
    const bool has_q = string_key(fits, "ZQUANTIZ", 0, &q);
    l->quantized = l->zbitpix < 0 && (l->scale_key || l->zscale.present()) && !(has_q && q == "NONE");
    if (!l->quantized) return true;
    if (!l->zero_key && !l->zzero.present()) return why("quantized floats without ZZERO");
    if (!has_q || q == "NO_DITHER") {
        l->dither = Dither::kNone;
    } else if (q == "SUBTRACTIVE_DITHER_1") {
        l->dither = Dither::kSubtractive1;
    } else if (q == "SUBTRACTIVE_DITHER_2") {
        l->dither = Dither::kSubtractive2;
    } else {
        return why("ZQUANTIZ '%.24s' is not read", q.c_str());
    }
    const Key d = int_key(fits, "ZDITHER0", 0, &l->dither0);
    if (d == Key::kBad || (d == Key::kOk && l->dither0 < 1)) return why("ZDITHER0 is not a positive integer");
    if (d == Key::kMissing) l->dither0 = 1;
    return true;
}

// The most pixels the heap can hold as the table codes them, so that sizes no data
// stand behind are refused before anything is allocated for them: a Rice block
// takes at least its FS code, deflate expands a byte at most 1032 times, plain
// pixels take their bytes.
int64_t most_pixels(const Layout &l)
{
    const double heap = double(l.end - l.heap), tiles = double(l.ntiles);
    const int w = l.quantized ? 4 : pixel_bytes(l.zbitpix);  // quantized codes are 32-bit
    double most = heap / w + tiles;
    if (l.codec == Codec::kRice) {
        const int fsbits = l.bytepix == 1 ? 3 : l.bytepix == 2 ? 4 : 5;
        const double rice = (heap * 8 / fsbits + tiles) * l.blocksize;
        most = rice > most ? rice : most;
    }
    if (l.codec == Codec::kGzip1 || l.codec == Codec::kGzip2 || l.gzipped.present()) {
        const double deflated = heap * 1032 + tiles;
        most = deflated > most ? deflated : most;
    }
    return most >= 9e18 ? INT64_MAX : int64_t(most);
}

// Everything the table says of the image and of where its tiles lie.
bool describe(FITSHead fits, Layout *l, const Why &why)
{
    if (!ft_iscompimage(fits)) return why("not a tile-compressed image (a binary table with ZIMAGE = T)");
    const FITSBasic b = fits->basic;
    if (!b || b->bitpix != 8 || b->naxes != 2 || b->gcount != 1)
        return why("the table's BITPIX, NAXIS or GCOUNT is not that of a binary table");
    l->row_bytes = b->naxis[0];
    l->rows = b->naxis[1];
    l->end = b->databytes;
    const int64_t table_bytes = l->row_bytes * l->rows;  // within databytes, which is checked
    int64_t theap = table_bytes;
    if (int_key(fits, "THEAP", 0, &theap) == Key::kBad) return why("THEAP is not an integer");
    if (theap < table_bytes || theap > l->end) return why("THEAP %lld lies outside the data unit", (long long)theap);
    l->heap = theap;
    if (!read_geometry(fits, l, why) || !read_codec(fits, l, why)) return false;
    if (l->ntiles != l->rows)
        return why("the table has %lld rows for the image's %lld tiles", (long long)l->rows, (long long)l->ntiles);

    FITSTable own = fits->table ? nullptr : ft_tableloadhead(fits);
    FITSTable table = fits->table ? fits->table : own;
    bool ok = table != nullptr && table->tabtype == 0;
    if (!ok) why("the table's columns cannot be read");
    ok = ok && check_column(*l, table, "COMPRESSED_DATA", true, &l->data, why) &&
         check_column(*l, table, "UNCOMPRESSED_DATA", true, &l->uncompressed, why) &&
         check_column(*l, table, "GZIP_COMPRESSED_DATA", true, &l->gzipped, why) &&
         check_column(*l, table, "ZSCALE", false, &l->zscale, why) &&
         check_column(*l, table, "ZZERO", false, &l->zzero, why) &&
         check_column(*l, table, "ZBLANK", false, &l->zblank, why);
    ft_tablefree(own);
    if (!ok) return false;
    if (!l->data.present() && !l->uncompressed.present() && !l->gzipped.present())
        return why("the table has no COMPRESSED_DATA column");
    if (!read_quantization(fits, l, why)) return false;
    if (l->pixels > most_pixels(*l))
        return why("the table's %lld heap bytes cannot hold the image's %lld pixels", (long long)(l->end - l->heap),
                   (long long)l->pixels);
    return true;
}

// ---- Reading a row ----

inline uint32_t load_be32(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t load_be64(const unsigned char *p) { return uint64_t(load_be32(p)) << 32 | load_be32(p + 4); }

// A fixed column's value in a row, as a double (integers exactly when they fit).
double fixed_value(const Column &c, const unsigned char *p)
{
    switch (c.letter) {
    case 'B': return p[0];
    case 'I': return double(int16_t(uint16_t(p[0] << 8 | p[1])));
    case 'J': return double(int32_t(load_be32(p)));
    case 'K': return double(int64_t(load_be64(p)));
    case 'E': {
        const uint32_t u = load_be32(p);
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    }
    default: {
        const uint64_t u = load_be64(p);
        double d;
        std::memcpy(&d, &u, 8);
        return d;
    }
    }
}

int64_t fixed_integer(const Column &c, const unsigned char *p)
{
    switch (c.letter) {
    case 'B': return p[0];
    case 'I': return int16_t(uint16_t(p[0] << 8 | p[1]));
    case 'J': return int32_t(load_be32(p));
    case 'K': return int64_t(load_be64(p));
    default: {
        const double d = fixed_value(c, p);
        return std::isfinite(d) && std::fabs(d) < 9.2e18 ? int64_t(d) : 0;
    }
    }
}

// The bytes of a heap column's array in row `row`, checked against the heap.
struct Array {
    const unsigned char *p = nullptr;
    int64_t bytes = 0;
};

bool heap_array(const Layout &l, const Column &c, const unsigned char *data, int64_t limit, int64_t row, Array *a,
                const Why &why)
{
    *a = {};
    if (!c.present()) return true;
    const unsigned char *d = data + row * l.row_bytes + c.offset;
    uint64_t count, offset;
    if (c.q) {
        count = load_be64(d);
        offset = load_be64(d + 8);
    } else {
        count = load_be32(d);
        offset = load_be32(d + 4);
    }
    const uint64_t room = uint64_t(limit - l.heap);
    if (count > room / uint64_t(c.size) || offset > room || count * uint64_t(c.size) > room - offset)
        return why("tile %lld: its heap descriptor (%llu elements at %llu) lies outside the heap", (long long)row + 1,
                   (unsigned long long)count, (unsigned long long)offset);
    a->p = data + l.heap + int64_t(offset);
    a->bytes = int64_t(count * uint64_t(c.size));
    return true;
}

// ---- Codecs ----

// Inflates a gzip or zlib stream into exactly `want` bytes.
bool inflate_exactly(const Array &in, unsigned char *out, int64_t want, int64_t tile, const Why &why)
{
#ifdef TOLV_HAVE_ZLIB
    constexpr int64_t kMax = std::numeric_limits<uInt>::max();
    if (in.bytes > kMax || want > kMax) return why("tile %lld: too large for one gzip stream", (long long)tile);
    if (double(want) > double(in.bytes) * 1032 + 64)  // more than deflate can give
        return why("tile %lld: its gzip stream ends before the tile's %lld bytes", (long long)tile, (long long)want);
    z_stream z{};
    if (inflateInit2(&z, 15 + 32) != Z_OK) return why("tile %lld: zlib cannot start", (long long)tile);
    z.next_in = const_cast<Bytef *>(in.p);
    z.avail_in = uInt(in.bytes);
    z.next_out = out;
    z.avail_out = uInt(want);
    int rc = inflate(&z, Z_FINISH);
    bool overlong = false;
    if (rc != Z_STREAM_END && z.avail_out == 0 && (rc == Z_OK || rc == Z_BUF_ERROR)) {
        // The tile is full but the stream goes on: it must end without another byte.
        unsigned char spare[1];
        z.next_out = spare;
        z.avail_out = 1;
        rc = inflate(&z, Z_FINISH);
        overlong = z.avail_out == 0;
    }
    const int64_t made = want - int64_t(z.avail_out);
    inflateEnd(&z);
    if (overlong)
        return why("tile %lld: its gzip stream holds more than the tile's %lld bytes", (long long)tile,
                   (long long)want);
    if (rc == Z_STREAM_END && made == want) return true;
    if (rc == Z_STREAM_END || rc == Z_BUF_ERROR || rc == Z_OK)
        return why("tile %lld: its gzip stream ends before the tile's %lld bytes", (long long)tile, (long long)want);
    return why("tile %lld: its gzip stream is damaged", (long long)tile);
#else
    (void)in, (void)out, (void)want;
    return why("tile %lld: gzip tiles need zlib, which this build leaves out", (long long)tile);
#endif
}

// Bytes shuffled by significance (every element's first byte, then every second
// byte, ...) back to n elements of w bytes.
void unshuffle(const unsigned char *in, int64_t n, int w, unsigned char *out)
{
    for (int k = 0; k < w; k++) {
        const unsigned char *plane = in + int64_t(k) * n;
        for (int64_t i = 0; i < n; i++) out[i * w + k] = plane[i];
    }
}

// The tile's bytes of n elements of w bytes, big-endian, into out: gzip, shuffled
// gzip or plain, as the codec says.
bool tile_bytes(Codec codec, const Array &a, int64_t n, int w, unsigned char *out, std::vector<unsigned char> &scratch,
                int64_t tile, const Why &why)
{
    const int64_t want = n * w;
    switch (codec) {
    case Codec::kGzip1: return inflate_exactly(a, out, want, tile, why);
    case Codec::kGzip2:
        if (w == 1) return inflate_exactly(a, out, want, tile, why);
        scratch.resize(size_t(want));
        if (!inflate_exactly(a, scratch.data(), want, tile, why)) return false;
        unshuffle(scratch.data(), n, w, out);
        return true;
    case Codec::kNone:
        if (a.bytes != want)
            return why("tile %lld: it holds %lld bytes for its %lld pixels of %d bytes", (long long)tile,
                       (long long)a.bytes, (long long)n, w);
        std::memcpy(out, a.p, size_t(want));
        return true;
    default: return why("tile %lld: RICE_1 does not code these pixels", (long long)tile);
    }
}

// ---- Pixels ----

inline void store_be(unsigned char *p, uint64_t v, int w)
{
    for (int k = w - 1; k >= 0; k--, v >>= 8) p[k] = uint8_t(v);
}

inline void store_be32(unsigned char *p, uint32_t v)
{
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

inline void store_be64(unsigned char *p, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

template <typename F> inline void store_real(unsigned char *p, F v)
{
    if constexpr (sizeof(F) == 4)
        store_be32(p, std::bit_cast<uint32_t>(v));
    else
        store_be64(p, std::bit_cast<uint64_t>(v));
}

// Integer pixels of w bytes, big-endian, from the tile's 32-bit values.
void store_integers(const int32_t *v, int64_t n, int w, unsigned char *out)
{
    switch (w) {
    case 1:
        for (int64_t i = 0; i < n; i++) out[i] = uint8_t(v[i]);
        break;
    case 2:
        for (int64_t i = 0; i < n; i++) {
            out[2 * i] = uint8_t(uint32_t(v[i]) >> 8);
            out[2 * i + 1] = uint8_t(v[i]);
        }
        break;
    case 4:
        for (int64_t i = 0; i < n; i++) store_be32(out + 4 * i, uint32_t(v[i]));
        break;
    default:
        for (int64_t i = 0; i < n; i++) store_be(out + w * i, uint64_t(int64_t(v[i])), w);
    }
}

// How a tile's integer codes become floats.
struct Quantum {
    double scale, zero;
    bool has_blank;
    int32_t blank;
    Dither dither;
    int64_t row;  // 1-based tile number, which picks the dither's start
    int64_t dither0;
};

// Codes back to floats (F float or double): i*scale + zero, less a dither offset
// from the random sequence for the subtractive methods; the sequence advances for
// every pixel, null ones included.
template <typename F> void dequantize(const int32_t *in, int64_t n, const Quantum &q, unsigned char *out)
{
    // Null pixels: the NaN of every bit set, the one CFITSIO writes.
    using Bits = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;
    const F nan = std::bit_cast<F>(~Bits(0));
    if (q.dither == Dither::kNone) {
        for (int64_t i = 0; i < n; i++) {
            const F v = q.has_blank && in[i] == q.blank ? nan : F(double(in[i]) * q.scale + q.zero);
            store_real<F>(out + sizeof(F) * i, v);
        }
        return;
    }
    const float *rand = dither_sequence();
    int iseed = int((q.row - 1 + q.dither0 - 1) % DITHER_VALUES);
    int next = int(double(rand[iseed]) * 500.0);
    const bool zeros = q.dither == Dither::kSubtractive2;
    int64_t i = 0;
    while (i < n) {
        // A run up to the end of the sequence, then the next seed.
        const int64_t run = n - i < DITHER_VALUES - next ? n - i : DITHER_VALUES - next;
        const float *r = rand + next;
        for (int64_t j = 0; j < run; j++) {
            const int32_t c = in[i + j];
            F v;
            if (q.has_blank && c == q.blank)
                v = nan;
            else if (zeros && c == kZeroValue)
                v = F(0);
            else
                v = F((double(c) - double(r[j]) + 0.5) * q.scale + q.zero);
            store_real<F>(out + sizeof(F) * (i + j), v);
        }
        i += run;
        next += int(run);
        if (next == DITHER_VALUES) {
            if (++iseed == DITHER_VALUES) iseed = 0;
            next = int(double(rand[iseed]) * 500.0);
        }
    }
}

// Where a tile lies in the image.
struct Place {
    int64_t start[kMaxAxes];
    int64_t extent[kMaxAxes];
    int64_t pixels;
    bool contiguous;  // its pixels are one run of the image's
    int64_t first;  // image offset of its first pixel
};

Place place_of(const Layout &l, int64_t t)
{
    Place p{};
    p.pixels = 1;
    int64_t stride = 1;
    int last_long = -1;
    for (int i = 0; i < l.naxes; i++) {
        const int64_t c = t % l.across[i];
        t /= l.across[i];
        p.start[i] = c * l.tile[i];
        p.extent[i] = l.naxis[i] - p.start[i] < l.tile[i] ? l.naxis[i] - p.start[i] : l.tile[i];
        p.pixels *= p.extent[i];
        p.first += p.start[i] * stride;
        stride *= l.naxis[i];
        if (p.extent[i] > 1) last_long = i;
    }
    p.contiguous = true;
    for (int i = 0; i < last_long; i++)
        if (p.extent[i] != l.naxis[i]) p.contiguous = false;
    return p;
}

// The tile's pixels (w bytes each, in tile order) copied to their places in the image.
void scatter(const Layout &l, const Place &p, const unsigned char *tile, int w, unsigned char *image)
{
    int64_t k[kMaxAxes] = {};
    const int64_t run = p.extent[0] * w;
    for (int64_t done = 0; done < p.pixels; done += p.extent[0]) {
        int64_t at = 0, stride = 1;
        for (int i = 0; i < l.naxes; i++) {
            at += (p.start[i] + k[i]) * stride;
            stride *= l.naxis[i];
        }
        std::memcpy(image + at * w, tile + done * w, size_t(run));
        for (int i = 1; i < l.naxes; i++) {
            if (++k[i] < p.extent[i]) break;
            k[i] = 0;
        }
    }
}

// One tile (row `t`, 0-based) decoded into out, p.pixels pixels of the image's type.
bool decode_tile(const Layout &l, const unsigned char *data, int64_t limit, int64_t t, const Place &p,
                 unsigned char *out, std::vector<int32_t> &codes, std::vector<unsigned char> &scratch,
                 std::vector<unsigned char> &raw, const Why &why)
{
    const int w = pixel_bytes(l.zbitpix);
    const int64_t n = p.pixels;
    const int64_t tile = t + 1;
    Array a;
    if (!heap_array(l, l.data, data, limit, t, &a, why)) return false;
    if (a.bytes > 0) {
        const bool integers = l.zbitpix > 0 || l.quantized;
        if (!integers) return tile_bytes(l.codec, a, n, w, out, scratch, tile, why);
        if (l.zbitpix > 0 && l.codec != Codec::kRice) return tile_bytes(l.codec, a, n, w, out, scratch, tile, why);
        if (l.codec == Codec::kRice) {
            const int fsbits = l.bytepix == 1 ? 3 : l.bytepix == 2 ? 4 : 5;
            if (double(n) > (double(a.bytes) * 8 / fsbits + 1) * l.blocksize)
                return why("tile %lld: its Rice stream ends before its %lld pixels or is damaged", (long long)tile,
                           (long long)n);
        }
        codes.resize(size_t(n));
        if (l.codec == Codec::kRice) {
            if (!rice_decode(a.p, a.bytes, l.bytepix, l.blocksize, codes.data(), n))
                return why("tile %lld: its Rice stream ends before its %lld pixels or is damaged", (long long)tile,
                           (long long)n);
        } else {
            // Quantized codes are 32-bit integers under gzip or plain.
            raw.resize(size_t(n) * 4);
            if (!tile_bytes(l.codec, a, n, 4, raw.data(), scratch, tile, why)) return false;
            for (int64_t i = 0; i < n; i++) codes[size_t(i)] = int32_t(load_be32(raw.data() + 4 * i));
        }
        if (l.zbitpix > 0) {
            store_integers(codes.data(), n, w, out);
            return true;
        }
        const unsigned char *row = data + t * l.row_bytes;
        Quantum q{};
        q.scale = l.zscale.present() ? fixed_value(l.zscale, row + l.zscale.offset) : l.scale;
        q.zero = l.zzero.present() ? fixed_value(l.zzero, row + l.zzero.offset) : l.zero;
        const int64_t blank = l.zblank.present() ? fixed_integer(l.zblank, row + l.zblank.offset) : l.blank;
        q.has_blank = (l.zblank.present() || l.blank_key) && blank >= INT32_MIN && blank <= INT32_MAX;
        q.blank = q.has_blank ? int32_t(blank) : 0;
        q.dither = l.dither;
        q.row = tile;
        q.dither0 = l.dither0;
        if (w == 4)
            dequantize<float>(codes.data(), n, q, out);
        else
            dequantize<double>(codes.data(), n, q, out);
        return true;
    }
    // A tile that could not be coded as the others: gzip of its pixels, or plain.
    if (!heap_array(l, l.gzipped, data, limit, t, &a, why)) return false;
    if (a.bytes > 0) return tile_bytes(Codec::kGzip1, a, n, w, out, scratch, tile, why);
    if (!heap_array(l, l.uncompressed, data, limit, t, &a, why)) return false;
    if (a.bytes > 0) {
        const int want = l.zbitpix > 0 ? l.zbitpix : 0;
        const bool same = l.uncompressed.size == w &&
                          (l.zbitpix == -32   ? l.uncompressed.letter == 'E'
                           : l.zbitpix == -64 ? l.uncompressed.letter == 'D'
                                              : l.uncompressed.letter != 'E' && l.uncompressed.letter != 'D' && want);
        if (!same) return why("tile %lld: its UNCOMPRESSED_DATA is not of the image's pixel type", (long long)tile);
        return tile_bytes(Codec::kNone, a, n, w, out, scratch, tile, why);
    }
    if (n == 0) return true;
    return why("tile %lld: the table holds no data for its %lld pixels", (long long)tile, (long long)n);
}

// ---- The image's header ----

bool key_is(const FITSBuff &c, std::string_view key)
{
    std::string_view k(c.c, 8);
    k = trimmed(k);
    return k == key;
}

// A keyword of the form PREFIXn (n 1..999).
bool key_numbered(const FITSBuff &c, std::string_view prefix)
{
    std::string_view k = trimmed(std::string_view(c.c, 8));
    if (k.size() <= prefix.size() || k.substr(0, prefix.size()) != prefix) return false;
    for (char ch : k.substr(prefix.size()))
        if (ch < '0' || ch > '9') return false;
    return true;
}

// The table's structure and compression keywords, which the image does not carry.
bool dropped(const FITSBuff &c)
{
    static constexpr std::string_view kWhole[] = {"XTENSION", "SIMPLE",  "BITPIX",   "NAXIS",    "PCOUNT",   "GCOUNT",
                                                  "TFIELDS",  "THEAP",   "CHECKSUM", "DATASUM",  "EXTEND",   "ZIMAGE",
                                                  "ZCMPTYPE", "ZBITPIX", "ZNAXIS",   "ZQUANTIZ", "ZDITHER0", "ZSCALE",
                                                  "ZZERO",    "ZBLANK",  "ZSIMPLE",  "ZTENSION", "ZEXTEND",  "ZBLOCKED",
                                                  "ZPCOUNT",  "ZGCOUNT", "ZMASKCMP", "END"};
    static constexpr std::string_view kNumbered[] = {"NAXIS", "TTYPE", "TFORM",  "TUNIT", "TDIM",  "TNULL",
                                                     "TSCAL", "TZERO", "TDISP",  "TBCOL", "TLMIN", "TLMAX",
                                                     "TDMIN", "TDMAX", "ZNAXIS", "ZTILE", "ZNAME", "ZVAL"};
    for (std::string_view k : kWhole)
        if (key_is(c, k)) return true;
    for (std::string_view k : kNumbered)
        if (key_numbered(c, k)) return true;
    // Blank cards are the table's spare room; the new header gets its own.
    return std::string_view(c.c, 80).find_first_not_of(' ') == std::string_view::npos;
}

// A copy of card renamed to key, value and comment kept.
FITSBuff renamed(const FITSBuff &card, const char *key)
{
    FITSBuff c = card;
    std::memset(c.c, ' ', 8);
    std::memcpy(c.c, key, std::strlen(key));
    return c;
}

FITSCard table_card(FITSHead fits, const char *name, int n = 0)
{
    FITSCard card = nullptr;
    ft_headget(fits, name, n, &card);
    return card;
}

// The quantizing level CFITSIO notes as "HISTORY   q = 4.000000 / ...", or 4.
double quantize_level(FITSHead fits)
{
    for (int i = 0; i < fits->ncard; i++) {
        const std::string_view c(fits->cards[i].c, 80);
        if (c.substr(0, 8) != "HISTORY ") continue;
        const std::string_view text = trimmed(c.substr(8));
        if (text.substr(0, 2) != "q ") continue;
        const std::string value(trimmed(text.substr(1)));
        if (value.empty() || value[0] != '=') continue;
        char *end = nullptr;
        const double q = std::strtod(value.c_str() + 1, &end);
        if (end != value.c_str() + 1 && std::isfinite(q) && q != 0) return q;
    }
    return 4;
}

}  // namespace

extern "C" {

int ft_iscompimage(FITSHead fits)
{
    if (!fits || !fits->cards || fits->ncard < 1) return 0;
    FITSCard card = nullptr;
    const std::string_view kind = ft_headget(fits, "XTENSION", 0, &card);
    if (!card || kind != "BINTABLE") return 0;
    return ft_headgetl(fits, "ZIMAGE", 0, 0, nullptr) ? 1 : 0;
}

FITSHead ft_compimagehead(FITSHead fits, int primary, int room, FITSCompress *how, char *why, int len)
{
    const Why fail{why, len};
    Layout l;
    if (!describe(fits, &l, fail)) return nullptr;
    if (room < 0) room = 0;

    std::vector<FITSBuff> cards;
    cards.reserve(size_t(fits->ncard) + 16);
    const int one = 1;
    if (primary) {
        FITSCard z = table_card(fits, "ZSIMPLE");
        cards.push_back(z ? renamed(*z, "SIMPLE")
                          : KeywordCard("SIMPLE", 0, FT_LOGICAL, &one, 0, "conforms to FITS standard").card);
    } else {
        FITSCard z = table_card(fits, "ZTENSION");
        cards.push_back(z ? renamed(*z, "XTENSION")
                          : KeywordCard("XTENSION", 0, FT_STRING, "IMAGE", 0, "image extension").card);
    }
    cards.push_back(renamed(*table_card(fits, "ZBITPIX"), "BITPIX"));
    cards.push_back(renamed(*table_card(fits, "ZNAXIS"), "NAXIS"));
    for (int i = 1; i <= l.naxes; i++) {
        char key[16];
        std::snprintf(key, sizeof key, "NAXIS%d", i);
        cards.push_back(renamed(*table_card(fits, "ZNAXIS", i), key));
    }
    if (!primary) {
        const int zero = 0;
        FITSCard pc = table_card(fits, "ZPCOUNT"), gc = table_card(fits, "ZGCOUNT");
        cards.push_back(pc ? renamed(*pc, "PCOUNT")
                           : KeywordCard("PCOUNT", 0, FT_INTEGER, &zero, 0, "no group parameters").card);
        cards.push_back(gc ? renamed(*gc, "GCOUNT")
                           : KeywordCard("GCOUNT", 0, FT_INTEGER, &one, 0, "one data group").card);
    } else {
        if (FITSCard e = table_card(fits, "ZEXTEND")) cards.push_back(renamed(*e, "EXTEND"));
        if (FITSCard b = table_card(fits, "ZBLOCKED")) cards.push_back(renamed(*b, "BLOCKED"));
    }
    // The rest in the table's order; the image's own checksums take the table's place.
    for (int i = 0; i < fits->ncard; i++) {
        const FITSBuff &c = fits->cards[i];
        if (key_is(c, "ZHECKSUM"))
            cards.push_back(renamed(c, "CHECKSUM"));
        else if (key_is(c, "ZDATASUM"))
            cards.push_back(renamed(c, "DATASUM"));
        else if (key_is(c, "EXTNAME") && primary)
            continue;
        else if (key_is(c, "EXTNAME") && trimmed(ft_cardget(const_cast<FITSCard>(&c))) == "COMPRESSED_IMAGE")
            continue;
        else if (!dropped(c))
            cards.push_back(c);
    }
    cards.push_back(KeywordCard("END", 0).card);

    const int64_t total = int64_t(cards.size()) + room;
    FITSHead h = total <= (1 << 24) ? ft_headinit(nullptr, total * FT_CARD_BYTES) : nullptr;
    if (!h) return fail("no memory for the image's header"), nullptr;
    // ft_headinit gave blank cards and END first: the new cards take their places.
    std::memcpy(h->cards, cards.data(), cards.size() * sizeof(FITSBuff));
    h->ncard = int(cards.size());
    ft_headindex(h);
    ft_syncdata(h);
    if (!h->basic) {
        ft_headfree(h, 1);
        return fail("the image's header cannot be read back"), nullptr;
    }
    if (how) {
        std::memset(how, 0, sizeof *how);
        std::snprintf(how->type, sizeof how->type, "%s", l.type.c_str());
        how->tile[0] = l.naxes >= 1 ? int(l.tile[0]) : 0;
        how->tile[1] = l.naxes >= 2 ? int(l.tile[1]) : (l.naxes == 1 ? 1 : 0);
        how->quantize = 0;
        if (l.quantized) {
            // The step is per tile; the level the writer noted in HISTORY, else fpack's default.
            how->quantize = quantize_level(fits);
            how->dither = l.dither == Dither::kNone ? 0 : l.dither == Dither::kSubtractive1 ? 1 : 2;
            how->dither0 = int(l.dither0 > 10000 ? (l.dither0 - 1) % 10000 + 1 : l.dither0);
        }
    }
    return h;
}

int ft_compimageread(FITSHead fits, const void *data, int64_t bytes, void *out, int64_t outbytes, char *why, int len)
{
    const Why fail{why, len};
    Layout l;
    if (!describe(fits, &l, fail)) return 0;
    if (!data && bytes > 0) return fail("no data"), 0;
    if (bytes < l.row_bytes * l.rows)
        return fail("the data unit (%lld bytes) is shorter than its table", (long long)bytes), 0;
    const int w = pixel_bytes(l.zbitpix);
    const int64_t image_bytes = l.pixels * w;
    if (!out || outbytes < image_bytes)
        return fail("the output holds %lld bytes for the image's %lld", (long long)outbytes, (long long)image_bytes), 0;
    const int64_t limit = bytes < l.end ? bytes : l.end;
    if (l.heap > limit) return fail("the heap lies past the data unit's bytes"), 0;

    const auto *d = static_cast<const unsigned char *>(data);
    auto *image = static_cast<unsigned char *>(out);
    std::vector<int32_t> codes;
    std::vector<unsigned char> scratch, raw, tilebuf;
    try {
        for (int64_t t = 0; t < l.ntiles; t++) {
            const Place p = place_of(l, t);
            if (p.contiguous) {
                if (!decode_tile(l, d, limit, t, p, image + p.first * w, codes, scratch, raw, fail)) return 0;
            } else {
                tilebuf.resize(size_t(p.pixels * w));
                if (!decode_tile(l, d, limit, t, p, tilebuf.data(), codes, scratch, raw, fail)) return 0;
                scatter(l, p, tilebuf.data(), w, image);
            }
        }
    } catch (...) {
        return fail("no memory for a tile"), 0;
    }
    return 1;
}

}  // extern "C"
