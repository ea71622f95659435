// Tile-compressed images written by the library, checked against CFITSIO and
// astropy: funpack and astropy decode them to the original pixels (integers and
// lossless floats exactly, quantized floats as the quantization of the original
// with the ZSCALE and ZZERO written), fpack compresses the same images to the same
// Rice bytes, ZSCALE and ZZERO, and fitsverify finds nothing wrong with the files.
#include "fits.h"
#include "fits_files.h"
#include "image_units.h"
#include "tile_codec.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

const char *const kFpack = "/usr/bin/fpack";
const char *const kFunpack = "/usr/bin/funpack";
const char *const kFitsverify = "/usr/bin/fitsverify";
const char *const kPython = "/usr/bin/python3";

bool have(const char *tool) { return access(tool, X_OK) == 0; }

bool have_astropy()
{
    static const bool yes =
        have(kPython) && std::system("/usr/bin/python3 -c 'import astropy.io.fits, numpy' >/dev/null 2>&1") == 0;
    return yes;
}

// Standard output and error of a shell command.
std::string output_of(const std::string &command)
{
    std::string out;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return "cannot run " + command;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

std::string shell_quoted(const std::string &s) { return "'" + s + "'"; }

// Integers in stretches of noise about a level, of values spread over the whole
// range, and of one value, so that every kind of Rice block occurs; the extremes
// of the range appear too.
Image integers(int bitpix, std::vector<int> axes, int64_t lo, int64_t hi, unsigned seed)
{
    Image im;
    im.bitpix = bitpix;
    im.axes = std::move(axes);
    int64_t n = 1;
    for (int a : im.axes) n *= a;
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int64_t> wide(lo, hi);
    std::normal_distribution<double> noise(0, 40);
    for (int64_t i = 0; i < n; i++) {
        const int64_t kind = (i / 300) % 3;
        int64_t v = kind == 0 ? lo / 2 + hi / 2 + int64_t(noise(rng)) : kind == 1 ? wide(rng) : lo + 7;
        if (i % 1009 == 3) v = lo;
        if (i % 1013 == 4) v = hi;
        v = v < lo ? lo : v > hi ? hi : v;
        put_be(im.data, uint64_t(v), bitpix / 8);
    }
    return im;
}

// Sky with a gradient plus noise; NaN in a block of pixels and scattered, an
// infinity, a row of zeros, a constant row (which cannot be quantized) and a
// stretch of zeros inside a row.
Image reals(int bitpix, std::vector<int> axes, unsigned seed)
{
    Image im;
    im.bitpix = bitpix;
    im.axes = std::move(axes);
    const int nx = im.axes[0], ny = im.axes[1];
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0, 12);
    for (int y = 0; y < ny; y++)
        for (int x = 0; x < nx; x++) {
            double v = -300.0 + 0.05 * x + 2.0 * y + noise(rng);
            if (y == 2) v = 0.0;
            if (y == 4) v = 321.5;
            if (y >= 6 && y < 9 && x >= 20 && x < 30) v = 0.0;
            if ((y >= 10 && y < 14 && x >= 30 && x < 45) || (x * 7 + y * 13) % 211 == 5) v = std::nan("");
            if (y == 20 && x == 3) v = INFINITY;
            put_real(im.data, v, bitpix);
        }
    return im;
}

std::string empty_primary()
{
    return header_bytes({kv("SIMPLE", "T"), kv("BITPIX", "8"), kv("NAXIS", "0"), kv("EXTEND", "T")});
}

// The image as an IMAGE extension (or a primary unit) of its own.
std::string image_unit(const Image &im, bool extension = true)
{
    return header_bytes(image_cards(im, extension, true)) + padded(im.data);
}

FITSCompress how(const char *type, int t1, int t2, double quantize = 0, int dither = 0, int dither0 = 1)
{
    FITSCompress h{};
    std::snprintf(h.type, sizeof h.type, "%s", type);
    h.tile[0] = t1;
    h.tile[1] = t2;
    h.quantize = quantize;
    h.dither = dither;
    h.dither0 = dither0;
    return h;
}

// ft_compimagemake of an image unit's bytes: the new unit, or "" and *why.
std::string compress(const std::string &unit, const FITSCompress &h, std::string *why = nullptr)
{
    std::string copy = unit;
    FITSHead image = ft_headinit(copy.data(), int64_t(copy.size()));
    if (!image) return "";
    void *out = reinterpret_cast<void *>(1);
    int64_t bytes = -1;
    char text[200] = "unset";
    const int ok = ft_compimagemake(image, copy.data() + image->data, &h, &out, &bytes, text, int(sizeof text));
    ft_headfree(image, 0);
    if (why) *why = text;
    if (!ok) {
        EXPECT_EQ(out == nullptr && bytes == 0, true);
        return "";
    }
    std::string result(static_cast<const char *>(out), std::size_t(bytes));
    std::free(out);
    return result;
}

bool compresses_gzip()
{
    std::string why;
    return !compress(image_unit(integers(16, {10, 3}, 0, 100, 1)), how("GZIP_1", 0, 0), &why).empty();
}

// The pixels of a file's unit as the library reads them (stored type, FITS order).
std::string library_pixels(const std::string &name)
{
    FITSHead h = nullptr;
    void *data = nullptr;
    if (!ft_simpleimageread(name.c_str(), &h, &data, nullptr, 0)) return "refused";
    std::string out(static_cast<const char *>(data), std::size_t(h->basic->databytes));
    std::free(data);
    ft_headfree(h, 1);
    return out;
}

// The data unit of a file's extension 1, fill included.
std::string data_unit(const std::string &file)
{
    FITSHead h = nullptr;
    char tail[FT_NAME_BYTES];
    File f = ft_fitsheadopen((file + "[1]").c_str(), &h, tail, sizeof tail, "r");
    if (!f) return "cannot open " + file;
    std::string out = rest_of(f);
    std::fclose(f);
    ft_headfree(h, 1);
    return out;
}

std::string verify(const std::string &file)
{
    const std::string out = output_of(std::string(kFitsverify) + " -q " + shell_quoted(file));
    return out.rfind("verification OK", 0) == 0 ? "OK" : out;
}

// funpack's decoding of a file, as the library reads funpack's output.
std::string funpacked(const std::string &file)
{
    const std::string out = file + ".funpack.fits";
    std::remove(out.c_str());
    const std::string said = output_of(std::string(kFunpack) + " -O " + shell_quoted(out) + " " + shell_quoted(file));
    const std::string pixels = library_pixels(out + "[1]");
    return pixels == "refused" ? "funpack: " + said : pixels;
}

// Pixel comparisons of astropy's decoding of compressed files with their originals:
// arguments are pairs of files, extension 1 of each; one line per difference.
const char *const kAstropyExact = R"(
import sys, numpy as np
from astropy.io import fits
a = sys.argv[1:]
for fz, plain in zip(a[0::2], a[1::2]):
    x = fits.getdata(fz, 1); y = fits.getdata(plain, 1)
    if x.shape != y.shape or x.dtype.kind != y.dtype.kind or not np.array_equal(x, y, equal_nan=True):
        print(fz, "differs")
print("compared", len(a) // 2)
)";

// Decodings of quantized files checked tile by tile against the quantization of
// the original with the file's own ZSCALE and ZZERO: i = nint((v - zero)/scale + r
// - 0.5), with r from the random sequence at the tile's seed, gives back (i - r +
// 0.5)*scale + zero; nulls (NaN, infinities) become NaN, zeros stay 0 under
// SUBTRACTIVE_DITHER_2, lossless tiles are exact, every value lies within half a
// step of the original.  Arguments: fz plain, then the decodings: astropy's of fz
// and files "path:extension" (or "-") of funpack's and the library's.
const char *const kQuantized = R"(
import sys, numpy as np
from astropy.io import fits
R = np.empty(10000, np.float64)
seed = 1.0
for k in range(10000):
    t = 16807.0 * seed
    seed = t - 2147483647.0 * int(t / 2147483647.0)
    R[k] = np.float32(seed / 2147483647.0)
def randoms(iseed, n):
    out = []; have = 0; nxt = int(R[iseed] * 500)
    while have < n:
        out.append(R[nxt:]); have += 10000 - nxt
        iseed = (iseed + 1) % 10000; nxt = int(R[iseed] * 500)
    return np.concatenate(out)[:n]
def nint(x):
    return np.where(x >= 0, np.floor(x + 0.5), -np.floor(0.5 - x))
a = sys.argv[1:]; tiles = 0
for fz, plain, *others in zip(a[0::4], a[1::4], a[2::4], a[3::4]):
    raw = fits.open(fz, disable_image_compression=True)[1]
    h = raw.header; t = raw.data
    orig = fits.getdata(plain, 1).astype(np.float64)
    # astropy 5.2 does not turn ZBLANK into NaN: its nulls are left unchecked.
    decoded = [('astropy', fits.getdata(fz, 1), False)]
    for o in others:
        if o != '-':
            path, ext = o.rsplit(':', 1)
            decoded.append((path, fits.getdata(path, int(ext)), True))
    ny, nx = orig.shape; t1, t2 = h['ZTILE1'], h['ZTILE2']
    method = h['ZQUANTIZ']; d0 = h.get('ZDITHER0', 1)
    ftype = np.float32 if h['ZBITPIX'] == -32 else np.float64
    across = (nx + t1 - 1) // t1
    # Tiles that cannot be quantized are kept in GZIP_COMPRESSED_DATA (or, built
    # without zlib, UNCOMPRESSED_DATA) with COMPRESSED_DATA empty.
    lossless = 'GZIP_COMPRESSED_DATA' in t.names or 'UNCOMPRESSED_DATA' in t.names
    for r in range(len(t)):
        y0 = (r // across) * t2; x0 = (r % across) * t1
        v = orig[y0:y0 + t2, x0:x0 + t1].ravel()
        s, z = t['ZSCALE'][r], t['ZZERO'][r]
        null = ~np.isfinite(v)
        if lossless and len(t['COMPRESSED_DATA'][r]) == 0:
            want = v.astype(ftype); null[:] = False
        else:
            rr = randoms((r + d0 - 1) % 10000, v.size) if method != 'NO_DITHER' else np.full(v.size, 0.5)
            i = nint((np.where(null, 0, v) - z) / s + rr - 0.5)
            want = ((i - rr + 0.5) * s + z).astype(ftype)
            if method == 'SUBTRACTIVE_DITHER_2': want[v == 0] = 0
            want[null] = np.nan
            # Half a step, and the rounding of the result to the pixel type.
            excess = (np.abs(want.astype(np.float64) - v) - s * 0.5 - np.abs(v) * np.finfo(ftype).eps)[~null]
            if excess.size and excess.max() > 0: print(fz, 'tile', r, 'off by more than half a step', s)
        for name, d, nulls in decoded:
            got = d[y0:y0 + t2, x0:x0 + t1].ravel()
            keep = np.ones(v.size, bool) if nulls else ~null
            g, w = got[keep], want[keep]
            if not np.array_equal(g, w, equal_nan=True):
                bad = np.where(~((g == w) | (np.isnan(g) & np.isnan(w))))[0]
                print(fz, name, 'tile', r, 'pixel', bad[0], g[bad[0]], w[bad[0]])
        tiles += 1
print('tiles', tiles)
)";

// Per-tile comparison of two compressed files of the same image: ZSCALE, ZZERO,
// the Rice (or gzip) bytes of COMPRESSED_DATA, and which tiles are lossless.
const char *const kSameTiles = R"(
import sys
from astropy.io import fits
a = sys.argv[1:]; n = 0
for ref, mine in zip(a[0::2], a[1::2]):
    A = fits.open(ref, disable_image_compression=True)[1].data
    B = fits.open(mine, disable_image_compression=True)[1].data
    if len(A) != len(B): print(mine, 'rows', len(A), len(B)); continue
    kept = lambda T, r: any(c in T.names and len(T[c][r]) > 0 for c in ('GZIP_COMPRESSED_DATA', 'UNCOMPRESSED_DATA'))
    rice = fits.open(ref, disable_image_compression=True)[1].header['ZCMPTYPE'].startswith('RICE')
    for r in range(len(A)):
        if A['ZSCALE'][r] != B['ZSCALE'][r] or A['ZZERO'][r] != B['ZZERO'][r]:
            print(mine, 'tile', r, 'scale/zero', A['ZSCALE'][r], B['ZSCALE'][r], A['ZZERO'][r], B['ZZERO'][r])
        ca, cb = bytes(A['COMPRESSED_DATA'][r]), bytes(B['COMPRESSED_DATA'][r])
        if (rice and ca != cb) or (len(ca) == 0) != (len(cb) == 0): print(mine, 'tile', r, 'bytes differ')
        la, lb = kept(A, r), kept(B, r)
        if la != lb: print(mine, 'tile', r, 'lossless', la, lb)
        n += 1
print('tiles', n)
)";

std::string python(const std::string &dir, const char *script, const std::vector<std::string> &args)
{
    const std::string path = dir + "/check.py";
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return "cannot write the script";
    std::fputs(script, f);
    std::fclose(f);
    std::string command = std::string(kPython) + " " + shell_quoted(path);
    for (const std::string &a : args) command.append(" ").append(shell_quoted(a));
    return output_of(command);
}

struct Written {
    std::string fz, plain;
};

// The plain file (an empty primary and the image) and the compressed one.
Written write_pair(const TempDir &dir, const std::string &name, const Image &im, const FITSCompress &h)
{
    Written w;
    w.plain = dir.write(name + ".fits", empty_primary() + image_unit(im));
    std::string why;
    const std::string unit = compress(image_unit(im), h, &why);
    EXPECT_EQ(why, "");
    w.fz = dir.write(name + ".fz", empty_primary() + unit);
    return w;
}

TEST(tilewrite, integer_images_decode_exactly)
{
    if (!have(kFunpack) || !have(kFitsverify)) GTEST_SKIP() << "needs funpack and fitsverify";
    TempDir dir;
    const bool gzip = compresses_gzip();
    const Image images[] = {integers(8, {257, 131}, 0, 255, 1), integers(16, {257, 131}, -32768, 32767, 2),
                            integers(32, {257, 131}, INT32_MIN, INT32_MAX, 3)};
    std::vector<std::string> astropy_args;
    // Rice with row tiles and with rectangular ones (edge tiles smaller), the others
    // with one kind each.
    const struct {
        const char *type;
        int t1, t2;
    } kinds[] = {{"RICE_1", 0, 0}, {"RICE_1", 60, 17}, {"GZIP_1", 0, 0}, {"GZIP_2", 60, 17}, {"NOCOMPRESS", 100, 50}};
    for (const Image &im : images)
        for (const auto &kind : kinds) {
            if (!gzip && kind.type[0] == 'G') continue;
            const std::string name = std::to_string(im.bitpix) + kind.type + std::to_string(kind.t1);
            SCOPED_TRACE(name);
            const Written w = write_pair(dir, name, im, how(kind.type, kind.t1, kind.t2));
            EXPECT_EQ(data_unit(w.fz).size() % kBlock, 0u);
            EXPECT_EQ(verify(w.fz), "OK");
            EXPECT_EQ(library_pixels(w.fz + "[1]") == im.data, true);
            EXPECT_EQ(funpacked(w.fz) == im.data, true);
            // astropy 5.2 does not read NOCOMPRESS.
            if (kind.type[0] != 'N') astropy_args.insert(astropy_args.end(), {w.fz, w.plain});
        }
    if (!have_astropy()) GTEST_SKIP() << "no astropy in /usr/bin/python3";
    EXPECT_EQ(python(dir.path.string(), kAstropyExact, astropy_args),
              "compared " + std::to_string(astropy_args.size() / 2) + "\n");
}

TEST(tilewrite, rice_bytes_are_those_fpack_writes)
{
    if (!have(kFpack) || !have(kFunpack)) GTEST_SKIP() << "needs fpack and funpack";
    TempDir dir;
    struct Case {
        Image im;
        int t1, t2;
        const char *tiles;
    };
    const Case cases[] = {{integers(8, {257, 131}, 0, 255, 4), 0, 0, ""},
                          {integers(16, {257, 131}, -32768, 32767, 5), 60, 17, "-t 60,17"},
                          {integers(32, {257, 131}, INT32_MIN, INT32_MAX, 6), 60, 17, "-t 60,17"},
                          {integers(32, {301, 7}, -1000, 1000, 7), 0, 0, ""},
                          {integers(16, {40, 30, 5}, -2000, 2000, 8), 7, 9, "-t 7,9,1"}};
    int n = 0;
    for (const Case &c : cases) {
        const std::string name = "case" + std::to_string(n++);
        SCOPED_TRACE(name);
        const Written w = write_pair(dir, name, c.im, how("RICE_1", c.t1, c.t2));
        const std::string ref = dir.file(name + ".ref.fz");
        output_of(std::string(kFpack) + " -r " + c.tiles + " -O " + shell_quoted(ref) + " " + shell_quoted(w.plain));
        // The same table rows and heap: descriptors, tile order and every coded byte.
        EXPECT_EQ(data_unit(w.fz) == data_unit(ref), true);
        EXPECT_EQ(library_pixels(ref + "[1]") == library_pixels(w.fz + "[1]"), true);
        EXPECT_EQ(funpacked(ref) == funpacked(w.fz), true);
    }
}

// Quantized floats: the cases fpack can write the same way, by its options.
struct FloatCase {
    const char *name;
    int bitpix;
    FITSCompress h;
    const char *fpack;
};

const FloatCase kFloatCases[] = {
    {"f32_rows", -32, how("RICE_1", 0, 0, 4, 1, 42), "-q42 4"},
    {"f32_rect", -32, how("RICE_1", 60, 17, 4, 1, 9999), "-q9999 4 -t 60,17"},
    {"f32_nodither", -32, how("RICE_1", 0, 0, 4, 0, 1), "-q0 4"},
    {"f32_dither2", -32, how("RICE_1", 0, 0, 2, 2, 77), "-qz77 2"},
    {"f32_absolute", -32, how("RICE_1", 0, 0, -0.5, 1, 3), "-q3 -0.5"},
    {"f32_gzip2", -32, how("GZIP_2", 0, 0, 4, 1, 5), "-g2 -q5 4"},
    {"f64_rect", -64, how("RICE_1", 60, 17, 4, 1, 10000), "-q10000 4 -t 60,17"},
    {"f64_gzip1", -64, how("GZIP_1", 0, 0, 4, 2, 1), "-g -qz1 4"},
};

TEST(tilewrite, quantized_floats_decode_as_quantized)
{
    if (!have(kFunpack) || !have(kFitsverify) || !have_astropy()) GTEST_SKIP() << "needs funpack, fitsverify, astropy";
    TempDir dir;
    const bool gzip = compresses_gzip();
    std::vector<std::string> args;
    int tiles = 0;
    for (const FloatCase &c : kFloatCases) {
        if (!gzip && c.h.type[0] == 'G') continue;
        SCOPED_TRACE(c.name);
        const Image im = reals(c.bitpix, {257, 131}, 11);
        const Written w = write_pair(dir, c.name, im, c.h);
        EXPECT_EQ(verify(w.fz), "OK");
        // funpack misplaces the nulls of rectangular float tiles: row tiles only.
        std::string unpacked = "-";
        if (c.h.tile[1] == 0) {
            unpacked = w.fz + ".unpacked.fits";
            output_of(std::string(kFunpack) + " -O " + shell_quoted(unpacked) + " " + shell_quoted(w.fz));
            unpacked += ":1";
        }
        // The library's own decoding, written plain.
        std::string library = "-";
        FITSHead h = nullptr;
        void *data = nullptr;
        if (ft_simpleimageread((w.fz + "[1]").c_str(), &h, &data, nullptr, c.bitpix)) {
            library = w.fz + ".library.fits";
            EXPECT_EQ(ft_simpleimagewrite(library.c_str(), h, data, c.bitpix), 1);
            library += ":0";
            std::free(data);
            ft_headfree(h, 1);
        }
        EXPECT_EQ(library == "-", false);
        args.insert(args.end(), {w.fz, w.plain, unpacked, library});
        tiles += c.h.tile[1] == 0 ? 131 : 5 * 8;
    }
    EXPECT_EQ(python(dir.path.string(), kQuantized, args), "tiles " + std::to_string(tiles) + "\n");
}

TEST(tilewrite, quantization_is_the_one_fpack_makes)
{
    if (!have(kFpack) || !have_astropy()) GTEST_SKIP() << "needs fpack and astropy";
    TempDir dir;
    const bool gzip = compresses_gzip();
    std::vector<std::string> args;
    int tiles = 0;
    for (const FloatCase &c : kFloatCases) {
        if (!gzip && c.h.type[0] == 'G') continue;
        const Image im = reals(c.bitpix, {257, 131}, 12);
        const Written w = write_pair(dir, c.name, im, c.h);
        const std::string ref = dir.file(std::string(c.name) + ".ref.fz");
        output_of(std::string(kFpack) + " " + c.fpack + " -O " + shell_quoted(ref) + " " + shell_quoted(w.plain));
        args.insert(args.end(), {ref, w.fz});
        tiles += c.h.tile[1] == 0 ? 131 : 5 * 8;
    }
    EXPECT_EQ(python(dir.path.string(), kSameTiles, args), "tiles " + std::to_string(tiles) + "\n");
}

TEST(tilewrite, lossless_floats_and_64_bit_integers)
{
    if (!compresses_gzip()) GTEST_SKIP() << "built without zlib";
    TempDir dir;
    std::vector<std::string> astropy_args;
    struct Case {
        Image im;
        FITSCompress h;
        bool cfitsio;  // CFITSIO reads it (not 64-bit integers, not NOCOMPRESS floats)
    };
    const Case cases[] = {{reals(-32, {257, 131}, 13), how("GZIP_2", 60, 17), true},
                          {reals(-64, {120, 41}, 14), how("GZIP_1", 0, 0), true},
                          {reals(-64, {120, 41}, 14), how("GZIP_2", 0, 0, 0, 1, 1), true},
                          {reals(-32, {257, 131}, 15), how("NOCOMPRESS", 60, 17, 4, 1, 1), false},
                          {integers(64, {40, 30, 5}, INT64_MIN, INT64_MAX, 16), how("GZIP_2", 7, 9), false},
                          {integers(64, {257, 3}, -5, 5, 17), how("GZIP_1", 0, 0), false},
                          {integers(64, {257, 3}, -5, 5, 17), how("NOCOMPRESS", 100, 2), false}};
    int n = 0;
    for (const Case &c : cases) {
        const std::string name = "case" + std::to_string(n++);
        SCOPED_TRACE(name);
        const Written w = write_pair(dir, name, c.im, c.h);
        if (have(kFitsverify)) {
            EXPECT_EQ(verify(w.fz), "OK");
        }
        EXPECT_EQ(library_pixels(w.fz + "[1]") == c.im.data, true);
        if (c.cfitsio && have(kFunpack)) {
            EXPECT_EQ(funpacked(w.fz) == c.im.data, true);
        }
        if (c.cfitsio) astropy_args.insert(astropy_args.end(), {w.fz, w.plain});
    }
    if (!have_astropy()) GTEST_SKIP() << "no astropy in /usr/bin/python3";
    EXPECT_EQ(python(dir.path.string(), kAstropyExact, astropy_args),
              "compared " + std::to_string(astropy_args.size() / 2) + "\n");
}

// The cards of a unit's header (up to END) as 80-column texts.
std::vector<std::string> header_cards(const std::string &unit)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; at + 80 <= unit.size(); at += 80) {
        out.push_back(unit.substr(at, 80));
        if (unit.compare(at, 8, "END     ") == 0) break;
    }
    return out;
}

std::string keyword(const std::string &card) { return card.substr(0, card.find_first_of(" =")); }

TEST(tilewrite, header_holds_the_image_keywords_and_checksums)
{
    TempDir dir;
    Image im = integers(16, {257, 131}, -32768, 32767, 18);
    im.cards = {kv("EXTNAME", "'SCI     '"), kv("BZERO", "32768"), kv("BSCALE", "1"), kv("CRPIX1", "12.5"),
                kv("CRVAL1", "150.25"), kv("CTYPE1", "'RA---TAN'"), "HISTORY first history line", "COMMENT a comment",
                kv("CHECKSUM", "'0000000000000000'"), kv("DATASUM", "'0'")};
    const std::string unit = compress(image_unit(im), how("RICE_1", 60, 17));
    ASSERT_EQ(unit.empty(), false);
    const std::vector<std::string> cards = header_cards(unit);
    std::vector<std::string> names;
    for (const std::string &c : cards) names.push_back(keyword(c));
    const std::vector<std::string> want = {
        "XTENSION", "BITPIX",   "NAXIS",    "NAXIS1",   "NAXIS2",  "PCOUNT", "GCOUNT",  "TFIELDS", "TTYPE1",
        "TFORM1",   "ZIMAGE",   "ZTILE1",   "ZTILE2",   "ZCMPTYPE", "ZNAME1", "ZVAL1",   "ZNAME2",  "ZVAL2",
        "ZTENSION", "ZBITPIX",  "ZNAXIS",   "ZNAXIS1",  "ZNAXIS2", "ZPCOUNT", "ZGCOUNT", "EXTNAME", "BZERO",
        "BSCALE",   "CRPIX1",   "CRVAL1",   "CTYPE1",   "HISTORY",  "COMMENT", "ZHECKSUM", "ZDATASUM", "CHECKSUM", "DATASUM",
        "END"};
    EXPECT_EQ(names, want);
    EXPECT_EQ(cards[10], card80(kv("ZIMAGE", "T") + " / extension contains compressed image"));
    EXPECT_EQ(cards[11].substr(0, 30), kv("ZTILE1", "60"));
    EXPECT_EQ(cards[13].substr(0, 30), kv("ZCMPTYPE", "'RICE_1  '"));

    // The new unit sums to negative zero; ZDATASUM and ZHECKSUM are the image's.
    const std::size_t header = (cards.size() * 80 + kBlock - 1) / kBlock * kBlock;
    std::string copy = unit;
    EXPECT_EQ(ft_checksumcheck(reinterpret_cast<FITSCard>(copy.data()), int(header / 80), copy.data() + header,
                               int64_t(copy.size() - header)),
              1);
    std::string image = image_unit(im);
    const std::size_t image_header = image.size() - padded(im.data).size();
    ft_checksumset(reinterpret_cast<FITSCard>(image.data()), int(image_header / 80),
                   ft_checksum(im.data.data(), int64_t(im.data.size()), 0));
    auto value = [](const std::vector<std::string> &cs, const std::string &key) {
        for (const std::string &c : cs)
            if (keyword(c) == key) return c.substr(10, 20);
        return std::string("none");
    };
    const std::vector<std::string> image_cards_set = header_cards(image);
    EXPECT_EQ(value(cards, "ZHECKSUM"), value(image_cards_set, "CHECKSUM"));
    EXPECT_EQ(value(cards, "ZDATASUM"), value(image_cards_set, "DATASUM"));

    // A primary image keeps EXTEND as ZEXTEND and says ZSIMPLE.
    Image p = integers(8, {50, 20}, 0, 255, 19);
    const std::vector<std::string> pc = header_cards(compress(image_unit(p, false), how("RICE_1", 0, 0)));
    std::vector<std::string> pn;
    for (const std::string &c : pc) pn.push_back(keyword(c));
    EXPECT_EQ(std::count(pn.begin(), pn.end(), "ZSIMPLE"), 1);
    EXPECT_EQ(std::count(pn.begin(), pn.end(), "ZEXTEND"), 1);
    EXPECT_EQ(std::count(pn.begin(), pn.end(), "EXTEND") + std::count(pn.begin(), pn.end(), "ZTENSION") +
                  std::count(pn.begin(), pn.end(), "SIMPLE"),
              0);

    const std::string fz = dir.write("sums.fz", empty_primary() + unit);
    if (have(kFitsverify)) {
        EXPECT_EQ(verify(fz), "OK");
    }
    if (have(kFunpack)) {
        EXPECT_EQ(funpacked(fz) == im.data, true);
    }
}

TEST(tilewrite, refusals_say_why_and_leave_nothing)
{
    const std::string i16 = image_unit(integers(16, {30, 20}, -100, 100, 20));
    const std::string f32 = image_unit(reals(-32, {30, 20}, 21));
    const std::string i64 = image_unit(integers(64, {30, 20}, -100, 100, 22));
    auto why = [](const std::string &unit, const FITSCompress &h) {
        std::string text;
        return compress(unit, h, &text).empty() ? text : "written";
    };
    EXPECT_EQ(why(i16, how("RICE_2", 0, 0)), "the compression type is not RICE_1, GZIP_1, GZIP_2 or NOCOMPRESS");
    EXPECT_EQ(why(i16, how("HCOMPRESS_1", 0, 0)), "the compression type is not RICE_1, GZIP_1, GZIP_2 or NOCOMPRESS");
    EXPECT_EQ(why(f32, how("RICE_1", 0, 0)),
              "RICE_1 codes floats only when they are quantized (quantize 0 asks for them unchanged)");
    EXPECT_EQ(why(i64, how("RICE_1", 0, 0)), "RICE_1 codes integers of up to 32 bits, not BITPIX 64");
    EXPECT_EQ(why(i16, how("RICE_1", -1, 0)), "a tile size is negative");
    EXPECT_EQ(why(f32, how("RICE_1", 0, 0, 4, 3, 1)), "dither is not 0, 1 or 2");
    EXPECT_EQ(why(f32, how("RICE_1", 0, 0, 4, 1, 10001)), "dither0 is not within 1..10000");
    EXPECT_EQ(why(f32, how("RICE_1", 0, 0, NAN, 1, 1)), "quantize is not a finite number");
    const std::string table = header_bytes({kv("XTENSION", "'BINTABLE'"), kv("BITPIX", "8"), kv("NAXIS", "2"),
                                            kv("NAXIS1", "4"), kv("NAXIS2", "3"), kv("PCOUNT", "0"),
                                            kv("GCOUNT", "1"), kv("TFIELDS", "1"), kv("TFORM1", "'1J      '")}) +
                              std::string(kBlock, '\0');
    EXPECT_EQ(why(table, how("RICE_1", 0, 0)), "the unit is not an image");
    EXPECT_EQ(why(header_bytes({kv("SIMPLE", "T"), kv("BITPIX", "16"), kv("NAXIS", "0")}), how("RICE_1", 0, 0)),
              "the image has no axes");
    EXPECT_EQ(why(header_bytes({kv("SIMPLE", "T"), kv("BITPIX", "16"), kv("NAXIS", "2"), kv("NAXIS1", "5"),
                                kv("NAXIS2", "0")}),
                  how("RICE_1", 0, 0)),
              "the image has no pixels");
#ifndef TOLV_HAVE_ZLIB
    EXPECT_EQ(why(i16, how("GZIP_1", 0, 0)), "GZIP_1 needs zlib, which this build was made without");
#endif
    // Null arguments.
    std::string copy = i16;
    FITSHead h = ft_headinit(copy.data(), int64_t(copy.size()));
    ASSERT_EQ(h != nullptr, true);
    FITSCompress r = how("RICE_1", 0, 0);
    void *unit = nullptr;
    int64_t bytes = 0;
    EXPECT_EQ(ft_compimagemake(h, nullptr, &r, &unit, &bytes, nullptr, 0), 0);
    EXPECT_EQ(ft_compimagemake(h, copy.data() + h->data, nullptr, &unit, &bytes, nullptr, 0), 0);
    EXPECT_EQ(ft_compimagemake(nullptr, copy.data(), &r, &unit, &bytes, nullptr, 0), 0);
    EXPECT_EQ(unit == nullptr && bytes == 0, true);
    // A why buffer of one byte gets just the terminator.
    char small[1] = {'x'};
    EXPECT_EQ(ft_compimagemake(h, copy.data() + h->data, &r, nullptr, &bytes, small, 1), 0);
    EXPECT_EQ(small[0], '\0');
    ft_headfree(h, 0);
}

// Rice coding of many arrays against the library's decoder: every width, lengths
// around the block size, constant stretches, small noise and values spread over
// the whole width (with wrapping differences); the coded size is exact (one byte
// less of room is refused) and nothing is written past the room given (ASan).
TEST(tilewrite, rice_coding_round_trips)
{
    std::mt19937_64 rng(23);
    int checked = 0;
    for (int bytepix : {1, 2, 4}) {
        const int64_t lo = bytepix == 1 ? 0 : bytepix == 2 ? -32768 : INT32_MIN;
        const int64_t hi = bytepix == 1 ? 255 : bytepix == 2 ? 32767 : INT32_MAX;
        for (int len : {1, 2, 31, 32, 33, 64, 65, 100, 1000}) {
            for (int pattern = 0; pattern < 6; pattern++) {
                std::vector<int32_t> in(static_cast<size_t>(len));
                std::uniform_int_distribution<int64_t> wide(lo, hi);
                std::normal_distribution<double> small(0, pattern == 3 ? 3 : 300);
                for (int i = 0; i < len; i++) {
                    int64_t v = pattern == 0   ? lo + 5
                                : pattern == 1 ? wide(rng)
                                : pattern == 5 ? (i % 2 ? lo : hi)
                                : pattern == 4 && (i / 40) % 2 ? 17
                                               : lo / 2 + hi / 2 + int64_t(small(rng));
                    in[size_t(i)] = int32_t(v < lo ? lo : v > hi ? hi : v);
                }
                std::vector<unsigned char> room(static_cast<size_t>(len) * 5 + 64);
                const int64_t used = rice_encode(in.data(), len, bytepix, 32, room.data(), int64_t(room.size()));
                ASSERT_EQ(used > 0, true);
                std::vector<unsigned char> exact(room.begin(), room.begin() + used);
                std::vector<int32_t> out(static_cast<size_t>(len));
                EXPECT_EQ(rice_decode(exact.data(), used, bytepix, 32, out.data(), len), true);
                EXPECT_EQ(out, in);
                std::vector<unsigned char> again(static_cast<size_t>(used));
                EXPECT_EQ(rice_encode(in.data(), len, bytepix, 32, again.data(), used), used);
                EXPECT_EQ(again, exact);
                std::vector<unsigned char> short_room(static_cast<size_t>(used - 1));
                EXPECT_EQ(rice_encode(in.data(), len, bytepix, 32, short_room.data(), used - 1), int64_t(-1));
                checked++;
            }
        }
    }
    EXPECT_EQ(checked, 3 * 9 * 6);
    // A block of zero differences is its code alone: 32 equal 16-bit pixels take the
    // first pixel's 2 bytes and 4 bits.
    std::vector<int32_t> flat(32, -7);
    unsigned char buf[16];
    EXPECT_EQ(rice_encode(flat.data(), 32, 2, 32, buf, sizeof buf), 3);
    EXPECT_EQ(buf[0], 0xff);
    EXPECT_EQ(buf[1], 0xf9);
    EXPECT_EQ(buf[2], 0x00);
}

} // namespace
