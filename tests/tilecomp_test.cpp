// Tile-compressed images read by the library against CFITSIO's funpack: images made
// here, compressed by fpack and by astropy's CompImageHDU, must decode to exactly the
// bytes funpack writes; tables built here cover what neither writes (64-bit integers,
// Q descriptors, rectangular gzip tiles); damaged tables are refused with a reason.
#include "fits.h"
#include "fits_files.h"
#include "image_units.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef TOLV_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

const char *const kFpack = "/usr/bin/fpack";
const char *const kFunpack = "/usr/bin/funpack";
const char *const kPython = "/usr/bin/python3";

bool have_cfitsio_tools() { return access(kFpack, X_OK) == 0 && access(kFunpack, X_OK) == 0; }

bool have_astropy()
{
    static const bool have = access(kPython, X_OK) == 0 &&
                             std::system("/usr/bin/python3 -c 'import astropy.io.fits, numpy' >/dev/null 2>&1") == 0;
    return have;
}

bool run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A file holding the image as its primary unit, or as an extension after an empty primary.
std::string image_file(const Image &im, bool extension = false)
{
    std::string f;
    if (extension) f = header_bytes({kv("SIMPLE", "T"), kv("BITPIX", "8"), kv("NAXIS", "0"), kv("EXTEND", "T")});
    return f + header_bytes(image_cards(im, extension)) + padded(im.data);
}

Image integers(int bitpix, std::vector<int> axes, int64_t lo, int64_t hi, unsigned seed)
{
    Image im;
    im.bitpix = bitpix;
    im.axes = std::move(axes);
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int64_t> wide(lo, hi);
    std::normal_distribution<double> noise(0, 40);
    const int64_t n = im.pixels();
    for (int64_t i = 0; i < n; i++) {
        // Stretches of noise about a level, of wide values, and of one value, so
        // that every kind of Rice block occurs.
        const int64_t kind = (i / 300) % 3;
        int64_t v = kind == 0 ? (lo + hi) / 2 + int64_t(noise(rng)) : kind == 1 ? wide(rng) : lo + 7;
        v = v < lo ? lo : v > hi ? hi : v;
        put_be(im.data, uint64_t(v), bitpix / 8);
    }
    return im;
}

// Sky plus noise, with NaN every `nan_every` pixels (0: none), a row of exact
// zeros and a constant row (which fpack cannot quantize).
Image reals(int bitpix, std::vector<int> axes, int nan_every, unsigned seed)
{
    Image im;
    im.bitpix = bitpix;
    im.axes = std::move(axes);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0, 12);
    const int64_t n = im.pixels(), row = im.axes[0];
    for (int64_t i = 0; i < n; i++) {
        double v = 1000.0 + 0.05 * double(i % row) + noise(rng);
        if (i / row == 2) v = 0.0;
        if (i / row == 4) v = 321.5;
        if (nan_every && i % nan_every == 5) v = std::nan("");
        put_real(im.data, v, bitpix);
    }
    return im;
}

// A unit read by the library as stored (pixtype 0).
struct Decoded {
    bool ok = false;
    int pixtype = 0;
    int bitpix = 0;
    std::vector<int> axes;
    std::string bytes;
};

Decoded read_unit(const std::string &name, int pixtype = 0)
{
    Decoded d;
    FITSHead h = nullptr;
    void *data = nullptr;
    if (!ft_simpleimageread(name.c_str(), &h, &data, nullptr, pixtype)) return d;
    d.ok = true;
    d.pixtype = pixtype;
    d.bitpix = pixtype == 0 ? h->basic->bitpix : pixtype;
    for (int i = 0; i < h->basic->naxes; i++) d.axes.push_back(h->basic->naxis[i]);
    const int size = pixtype == 0 ? std::abs(d.bitpix) / 8 : std::abs(pixtype) / 8;
    d.bytes.assign(static_cast<char *>(data), size_t(h->basic->datapixls * size));
    std::free(data);
    ft_headfree(h, 1);
    return d;
}

// Whether the w bytes at `at` are a NaN, big-endian (FITS order) or the host's.
bool is_nan(const std::string &b, std::size_t at, int w, bool big)
{
    uint64_t u = 0;
    for (int k = 0; k < w; k++) {
        const int from = big ? k : w - 1 - k;
        u = u << 8 | uint8_t(b[at + size_t(from)]);
    }
    if (w == 4) {
        float f;
        const uint32_t v = uint32_t(u);
        std::memcpy(&f, &v, 4);
        return std::isnan(f);
    }
    double d;
    std::memcpy(&d, &u, 8);
    return std::isnan(d);
}

// The library's arrays in the stored type are big-endian; converted ones the host's.
bool pixtype_order(const Decoded &d) { return d.pixtype == 0; }

// The first pixel where two decodings differ, as text ("" when they agree).
std::string difference(const Decoded &got, const Decoded &want, bool any_nan = false)
{
    if (!got.ok || !want.ok) return got.ok ? "the reference cannot be read" : "the library refused the file";
    if (got.bitpix != want.bitpix || got.axes != want.axes) return "BITPIX or axes differ";
    if (got.bytes.size() != want.bytes.size()) return "sizes differ";
    const int w = std::abs(got.bitpix) / 8;
    for (std::size_t i = 0; i < got.bytes.size(); i++) {
        if (got.bytes[i] == want.bytes[i]) continue;
        // The payload of a NaN, when any_nan, is no difference.
        const std::size_t at = i / w * w;
        if (any_nan && got.bitpix < 0 && is_nan(got.bytes, at, w, pixtype_order(got)) &&
            is_nan(want.bytes, at, w, pixtype_order(want))) {
            i = at + w - 1;
            continue;
        }
        return "pixel " + std::to_string(i / w) + " differs";
    }
    return "";
}

std::string quoted(const std::string &s) { return "'" + s + "'"; }

// Decodes fz[1] with the library and with funpack, whose output holds it as the
// primary image (fpack's files) or as extension 1 (astropy's); "" when they agree.
std::string against_funpack(const std::string &fz, int ref_ext = 0)
{
    const std::string ref = fz + ".ref.fits";
    if (!run(std::string(kFunpack) + " -O " + quoted(ref) + " " + quoted(fz))) return "funpack failed";
    return difference(read_unit(fz + "[1]"), read_unit(ref + "[" + std::to_string(ref_ext) + "]"));
}

// Whether this build reads GZIP tiles (they need zlib).
#ifdef TOLV_HAVE_ZLIB
constexpr bool kReadsGzip = true;
#else
constexpr bool kReadsGzip = false;
#endif

// Why the library refuses the image of unit 1, "" when it reads it.
std::string refusal(const std::string &fz)
{
    FITSHead table = nullptr;
    char tail[FT_NAME_BYTES];
    File f = ft_fitsheadopen((fz + "[1]").c_str(), &table, tail, int(sizeof tail), nullptr);
    if (!f) return "not opened";
    std::fclose(f);
    char why[256] = "";
    FITSHead image = ft_compimagehead(table, 0, 0, nullptr, why, int(sizeof why));
    if (image) ft_headfree(image, 1);
    ft_headfree(table, 1);
    return why;
}

// Whether unit 1 is GZIP-compressed or has GZIP tiles beside others (fpack keeps
// floats it cannot quantize that way).
bool holds_gzip(const std::string &fz)
{
    FITSHead table = nullptr;
    char tail[FT_NAME_BYTES];
    File f = ft_fitsheadopen((fz + "[1]").c_str(), &table, tail, int(sizeof tail), nullptr);
    if (!f) return false;
    std::fclose(f);
    const std::string cards(table->cards->c, std::size_t(table->ncard) * 80);
    ft_headfree(table, 1);
    return cards.find("'GZIP_") != std::string::npos;
}

// A file that may hold GZIP tiles, in a build without zlib: refused, naming zlib,
// where its header says GZIP; otherwise decoded as funpack does, or refused when
// a tile turns out to be GZIP.  True when that is the case here (and was checked).
bool refused_for_zlib(const std::string &fz, int ref_ext = 0)
{
    if (kReadsGzip || !holds_gzip(fz)) return false;
    const std::string why = refusal(fz);
    if (!why.empty()) {
        EXPECT_NE(why.find("tiles need zlib, which this build leaves out"), std::string::npos) << why;
        return true;
    }
    const std::string got = against_funpack(fz, ref_ext);
    EXPECT_TRUE(got.empty() || got == "the library refused the file") << got;
    return true;
}

struct FpackCase {
    const char *image;
    const char *options;
};

// The images of the fpack and astropy comparisons, by name.
Image test_image(const std::string &name)
{
    if (name == "i16") return integers(16, {257, 131}, -32768, 32767, 1);
    if (name == "u8") return integers(8, {200, 51}, 0, 255, 2);
    if (name == "i32") return integers(32, {257, 131}, INT32_MIN, INT32_MAX, 3);
    if (name == "cube") return integers(16, {40, 30, 5}, -2000, 2000, 4);
    if (name == "line") return integers(32, {5000}, -100000, 100000, 5);
    if (name == "f32") return reals(-32, {257, 131}, 97, 6);
    if (name == "f64") return reals(-64, {120, 41}, 53, 7);
    // Without NaN: funpack (CFITSIO 4.2) misplaces the pixels of rectangular float
    // tiles that hold nulls, so those are compared with row tiles only.
    if (name == "f32c") return reals(-32, {257, 131}, 0, 6);
    if (name == "f64c") return reals(-64, {120, 41}, 0, 7);
    Image u = integers(16, {257, 131}, -32768, 32767, 8);  // unsigned 16-bit with nulls
    u.cards = {kv("BZERO", "32768"), kv("BSCALE", "1"), kv("BLANK", "-32768")};
    for (std::size_t i = 11; i + 1 < u.data.size(); i += 2 * 61) u.data[i] = char(0x80), u.data[i + 1] = 0;
    return u;
}

// ft_compimageread over a unit's bytes held in an allocation of exactly their size.
int decode(const std::string &unit, std::string *out, std::string *why, int64_t cut = -1)
{
    FITSHead h = ft_headinit(const_cast<char *>(unit.data()), int64_t(unit.size()));
    if (!h) return -1;
    char text[300] = "";
    FITSHead image = ft_compimagehead(h, 0, 0, nullptr, text, int(sizeof text));
    int ok = 0;
    if (image) {
        const int64_t bytes = cut >= 0 ? cut : h->basic->databytes;
        std::vector<unsigned char> data(unit.begin() + h->data, unit.begin() + h->data + bytes);
        std::vector<unsigned char> pixels(size_t(image->basic->databytes));
        ok = ft_compimageread(h, data.data(), bytes, pixels.data(), int64_t(pixels.size()), text, int(sizeof text));
        if (out) out->assign(pixels.begin(), pixels.end());
        ft_headfree(image, 1);
    }
    if (why) *why = text;
    ft_headfree(h, 0);
    return ok;
}

}  // namespace

TEST(tilecomp, fpack_files_decode_as_funpack_does)
{
    if (!have_cfitsio_tools()) GTEST_SKIP() << "fpack or funpack is not installed";
    static const FpackCase cases[] = {
        {"i16", "-r"},
        {"i16", "-r -t 60,17"},
        {"i16", "-g"},
        {"i16", "-g2 -t 60,17"},
        {"i16", "-d"},
        {"u8", "-r"},
        {"u8", "-g2"},
        {"i32", "-r"},
        {"i32", "-r -t 33,7"},
        {"i32", "-g2"},
        {"cube", "-r -t 16,16,2"},
        {"cube", "-g -t 40,1,3"},
        {"line", "-r -t 1000"},
        {"ushort", "-r"},
        {"ushort", "-g2 -t 60,17"},
        {"f32", "-r"},
        {"f32", "-qz 4"},
        {"f32", "-q0 4"},
        {"f32c", "-q 8 -t 60,17"},
        {"f32c", "-qz 2 -t 60,17"},
        {"f32", "-q -0.25"},
        {"f32", "-q17 4"},
        {"f32", "-g -q 0"},
        {"f32", "-g2 -q 0"},
        {"f32", "-g -q 4"},
        {"f32", "-g2 -q 4"},
        // One tile of the whole image: the dither runs through the sequence's end.
        {"f32", "-w -qz 4"},
        {"f32", "-w -q9990 4"},
        {"f32c", "-g2 -qz 4 -t 60,17"},
        {"f32c", "-q0 4 -t 60,17"},
        {"f64", "-r"},
        {"f64", "-g -q 0"},
        {"f64c", "-qz 4 -t 30,7"},
    };
    TempDir dir;
    int n = 0;
    for (const FpackCase &c : cases) {
        SCOPED_TRACE(std::string(c.image) + " with fpack " + c.options);
        const std::string base = dir.file("c" + std::to_string(n++));
        const std::string plain = dir.write("p" + std::to_string(n) + ".fits", image_file(test_image(c.image)));
        ASSERT_EQ(run(std::string(kFpack) + " " + c.options + " -O " + quoted(base + ".fz") + " " + quoted(plain)),
                  true);
        if (!refused_for_zlib(base + ".fz")) {
            EXPECT_EQ(against_funpack(base + ".fz"), "");
        }
    }
}

TEST(tilecomp, lossless_tiles_give_back_the_original_pixels)
{
    if (!have_cfitsio_tools()) GTEST_SKIP() << "fpack is not installed";
    TempDir dir;
    for (const char *name : {"i16", "u8", "i32", "cube", "ushort", "f32", "f64"}) {
        const bool real = name[0] == 'f';
        for (const char *options : {real ? "-g -q 0" : "-r", real ? "-g2 -q 0 -t 60,17" : "-g2 -t 60,17"}) {
            SCOPED_TRACE(std::string(name) + " with fpack " + options);
            const std::string plain = dir.write(std::string(name) + ".fits", image_file(test_image(name)));
            const std::string fz = dir.file(std::string(name) + ".fz");
            std::remove(fz.c_str());
            ASSERT_EQ(run(std::string(kFpack) + " " + options + " -O " + quoted(fz) + " " + quoted(plain)), true);
            if (refused_for_zlib(fz)) continue;
            EXPECT_EQ(difference(read_unit(fz + "[1]"), read_unit(plain), true), "");
            // Converted as a plain unit is: through BZERO into floats.
            EXPECT_EQ(difference(read_unit(fz + "[1]", -64), read_unit(plain, -64), true), "");
        }
    }
}

TEST(tilecomp, astropy_files_decode_as_funpack_does)
{
    if (!have_cfitsio_tools()) GTEST_SKIP() << "funpack is not installed";
    if (!have_astropy()) GTEST_SKIP() << "/usr/bin/python3 with numpy and astropy is not installed";
    TempDir dir;
    // compression type, quantize method (- default), dither seed (- none), tile (- rows)
    static const char *const variants[][5] = {
        {"i16", "RICE_1", "-", "-", "17,60"},      {"i16", "GZIP_1", "-", "-", "-"},
        {"i16", "GZIP_2", "-", "-", "131,1"},      {"u8", "RICE_1", "-", "-", "-"},
        {"i32", "GZIP_2", "-", "-", "7,33"},       {"cube", "RICE_1", "-", "-", "2,16,16"},
        {"f32", "RICE_1", "-1", "-", "-"},         {"f32c", "RICE_1", "1", "9999", "17,60"},
        {"f32", "RICE_1", "2", "123", "-"},        {"f32", "GZIP_1", "1", "5000", "-"},
        {"f32c", "GZIP_2", "2", "10000", "17,60"}, {"f64", "RICE_1", "1", "3", "-"},
        {"f64c", "GZIP_2", "-1", "-", "7,30"},
    };
    std::string script =
        "import sys\nimport numpy as np\nfrom astropy.io import fits\n"
        "for src, out, ctype, q, seed, tile in zip(*[iter(sys.argv[1:])]*6):\n"
        "    kw = dict(compression_type=ctype)\n"
        "    if tile != '-': kw['tile_size'] = tuple(int(t) for t in tile.split(','))\n"
        "    if q != '-': kw['quantize_method'] = int(q)\n"
        "    if seed != '-': kw['dither_seed'] = int(seed)\n"
        "    fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(fits.getdata(src), **kw)]).writeto(out)\n";
    const std::string py = dir.write("compress.py", script);
    std::string command = std::string(kPython) + " " + quoted(py);
    int n = 0;
    for (const auto &v : variants) {
        const std::string plain = dir.write(std::string(v[0]) + ".fits", image_file(test_image(v[0])));
        command += " " + quoted(plain) + " " + quoted(dir.file("a" + std::to_string(n++) + ".fz"));
        for (int k = 1; k < 5; k++) command += std::string(" ") + v[k];
    }
    ASSERT_EQ(run(command), true);
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(std::string(variants[i][0]) + " by astropy " + variants[i][1] + " quantize " + variants[i][2] +
                     " seed " + variants[i][3] + " tile " + variants[i][4]);
        const std::string fz = dir.file("a" + std::to_string(i) + ".fz");
        if (!refused_for_zlib(fz, 1)) {
            EXPECT_EQ(against_funpack(fz, 1), "");
        }
    }
}

TEST(tilecomp, image_header_is_the_one_funpack_restores)
{
    if (!have_cfitsio_tools()) GTEST_SKIP() << "fpack or funpack is not installed";
    TempDir dir;
    Image im = reals(-32, {64, 20}, 0, 9);
    im.cards = {kv("EXTNAME", "'SCI     '"), kv("EXTVER", "2"),        kv("CTYPE1", "'RA---TAN'"),
                kv("CRVAL1", "150.25"),      "COMMENT a comment card", kv("GAIN", "1.5") + " / e-/ADU",
                "HISTORY first step",        "HISTORY second step"};
    const std::string plain = dir.write("sci.fits", image_file(im, true));
    const std::string fz = dir.file("sci.fz"), ref = dir.file("ref.fits");
    ASSERT_EQ(run(std::string(kFpack) + " -q17 4 -t 64,5 -O " + quoted(fz) + " " + quoted(plain)), true);
    ASSERT_EQ(run(std::string(kFunpack) + " -O " + quoted(ref) + " " + quoted(fz)), true);

    FITSHead table = nullptr, restored = nullptr;
    char tail[FT_NAME_BYTES];
    File f = ft_fitsheadopen((fz + "[SCI]").c_str(), &table, tail, int(sizeof tail), nullptr);
    ASSERT_EQ(f != nullptr, true);
    std::fclose(f);
    f = ft_fitsheadopen((ref + "[SCI]").c_str(), &restored, tail, int(sizeof tail), nullptr);
    ASSERT_EQ(f != nullptr, true);
    std::fclose(f);

    EXPECT_EQ(ft_iscompimage(table), 1);
    EXPECT_EQ(ft_iscompimage(restored), 0);
    FITSCompress how{};
    char why[200] = "";
    FITSHead h = ft_compimagehead(table, 0, 40, &how, why, int(sizeof why));
    ASSERT_EQ(h != nullptr, true) << why;
    auto cards_of = [](FITSHead x) {
        std::vector<std::string> out;
        for (int i = 0; i < x->ncard; i++) {
            const std::string c(x->cards[i].c, 80);
            if (c.rfind("CHECKSUM", 0) != 0 && c.rfind("DATASUM ", 0) != 0 &&
                c.find_first_not_of(' ') != std::string::npos)
                out.push_back(c);
        }
        return out;
    };
    EXPECT_EQ(cards_of(h), cards_of(restored));
    EXPECT_EQ(h->acard - h->ncard >= 40, true);
    EXPECT_EQ(std::string(how.type), "RICE_1");
    EXPECT_EQ(how.tile[0], 64);
    EXPECT_EQ(how.tile[1], 5);
    EXPECT_EQ(how.quantize, 4.0);
    EXPECT_EQ(how.dither, 1);
    EXPECT_EQ(how.dither0, 17);
    // The table's checksums are not the image's; a primary header has no EXTNAME.
    EXPECT_EQ(ft_headfind(table, "CHECKSUM", 0, 0) != nullptr, true);
    EXPECT_EQ(ft_headfind(h, "CHECKSUM", 0, 0) == nullptr, true);
    FITSHead p = ft_compimagehead(table, 1, 0, nullptr, nullptr, 0);
    ASSERT_EQ(p != nullptr, true);
    EXPECT_EQ(p->basic->simple, 1);
    EXPECT_EQ(ft_headfind(p, "EXTNAME", 0, 0) == nullptr, true);
    EXPECT_EQ(ft_headgetr(p, "GAIN", 0, 0, nullptr), 1.5);
    ft_headfree(p, 1);
    ft_headfree(h, 1);
    ft_headfree(table, 1);
    ft_headfree(restored, 1);

    // Read by name through ft_simpleimageread, the image's header comes back.
    FITSHead got = nullptr;
    void *data = nullptr;
    ASSERT_EQ(ft_simpleimageread((fz + "[SCI,2]").c_str(), &got, &data, nullptr, -32), 1);
    EXPECT_EQ(got->basic->bitpix, -32);
    EXPECT_EQ(got->basic->naxis[0], 64);
    EXPECT_EQ(std::string(got->basic->name), "SCI");
    std::free(data);
    ft_headfree(got, 1);
    EXPECT_EQ(difference(read_unit(fz + "[SCI]", -32), read_unit(ref + "[SCI]", -32)), "");
}

#ifdef TOLV_HAVE_ZLIB
namespace {

// A tile-compressed table built here: tiles of `tile` extents, each coded by `code`
// into the heap, descriptors 1QB (64-bit) or 1PB.
struct Table {
    std::vector<std::string> cards;
    std::vector<std::string> tiles;
    bool q = true;

    std::string unit() const
    {
        const int width = q ? 16 : 8;
        std::string rows, heap;
        for (const std::string &t : tiles) {
            put_be(rows, t.size(), width / 2);
            put_be(rows, heap.size(), width / 2);
            heap += t;
        }
        std::vector<std::string> c = {kv("XTENSION", "'BINTABLE'"),
                                      kv("BITPIX", "8"),
                                      kv("NAXIS", "2"),
                                      kv("NAXIS1", std::to_string(width)),
                                      kv("NAXIS2", std::to_string(tiles.size())),
                                      kv("PCOUNT", std::to_string(heap.size())),
                                      kv("GCOUNT", "1"),
                                      kv("TFIELDS", "1"),
                                      kv("TTYPE1", "'COMPRESSED_DATA'"),
                                      kv("TFORM1", q ? "'1QB'" : "'1PB'"),
                                      kv("ZIMAGE", "T")};
        c.insert(c.end(), cards.begin(), cards.end());
        return header_bytes(c) + padded(rows + heap);
    }
};

std::string gzip_bytes(const std::string &raw, int w, bool shuffle)
{
    std::string in = raw;
    if (shuffle) {
        const std::size_t n = raw.size() / w;
        for (std::size_t i = 0; i < n; i++)
            for (int k = 0; k < w; k++) in[k * n + i] = raw[i * w + k];
    }
    uLongf size = compressBound(uLong(in.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(in.data()),
              uLong(in.size()), 6);
    out.resize(size);
    return out;
}

// The pixels of a w x h image of 64-bit integers in rectangular tiles tw x th.
Table tiled_int64(int w, int h, int tw, int th, bool shuffle, std::string *image)
{
    Table t;
    t.cards = {kv("ZCMPTYPE", shuffle ? "'GZIP_2  '" : "'GZIP_1  '"),
               kv("ZBITPIX", "64"),
               kv("ZNAXIS", "2"),
               kv("ZNAXIS1", std::to_string(w)),
               kv("ZNAXIS2", std::to_string(h)),
               kv("ZTILE1", std::to_string(tw)),
               kv("ZTILE2", std::to_string(th))};
    auto value = [](int x, int y) { return uint64_t(int64_t(x - 50) * 123456789012345LL + y * 977LL); };
    image->clear();
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) put_be(*image, value(x, y), 8);
    for (int y0 = 0; y0 < h; y0 += th)
        for (int x0 = 0; x0 < w; x0 += tw) {
            std::string raw;
            for (int y = y0; y < h && y < y0 + th; y++)
                for (int x = x0; x < w && x < x0 + tw; x++) put_be(raw, value(x, y), 8);
            t.tiles.push_back(gzip_bytes(raw, 8, shuffle));
        }
    return t;
}

}  // namespace

TEST(tilecomp, rectangular_gzip_tiles_of_64_bit_integers)
{
    for (bool shuffle : {false, true})
        for (const std::vector<int> &shape : {std::vector<int>{37, 23, 10, 6}, {37, 23, 37, 1}, {5, 9, 8, 20}}) {
            SCOPED_TRACE(std::string(shuffle ? "GZIP_2" : "GZIP_1") + " tile " + std::to_string(shape[2]) + "x" +
                         std::to_string(shape[3]));
            std::string image, got, why;
            Table t = tiled_int64(shape[0], shape[1], shape[2], shape[3], shuffle, &image);
            t.q = shape[2] % 2 == 1;
            EXPECT_EQ(decode(t.unit(), &got, &why), 1) << why;
            EXPECT_EQ(got == image, true);
        }
}

TEST(tilecomp_hostile, damaged_tables_are_refused_with_a_reason)
{
    std::string image, why;
    const Table good = tiled_int64(37, 23, 10, 6, false, &image);
    ASSERT_EQ(decode(good.unit(), nullptr, &why), 1) << why;

    Table t = good;  // a tile cut short
    t.tiles[2].resize(t.tiles[2].size() / 2);
    EXPECT_EQ(decode(t.unit(), nullptr, &why), 0);
    EXPECT_EQ(why, "tile 3: its gzip stream ends before the tile's 480 bytes");

    t = good;  // a tile with more than its pixels
    t.tiles[0] = gzip_bytes(std::string(481, 'x'), 1, false);
    EXPECT_EQ(decode(t.unit(), nullptr, &why), 0);
    EXPECT_EQ(why, "tile 1: its gzip stream holds more than the tile's 480 bytes");

    t = good;  // not a deflate stream
    t.tiles[1] = std::string(40, 'z');
    EXPECT_EQ(decode(t.unit(), nullptr, &why), 0);
    EXPECT_EQ(why, "tile 2: its gzip stream is damaged");

    // The heap cut: the last tile's descriptor points past the bytes there are.
    const std::string unit = good.unit();
    FITSHead h = ft_headinit(const_cast<char *>(unit.data()), int64_t(unit.size()));
    const int64_t full = h->basic->databytes;
    ft_headfree(h, 0);
    EXPECT_EQ(decode(unit, nullptr, &why, full - 3), 0);
    EXPECT_EQ(why.rfind("tile 16: its heap descriptor", 0), 0u) << why;

    // A descriptor far outside the heap.
    std::string bad = unit;
    const std::size_t data = unit.size() - padded(std::string(size_t(full), ' ')).size();
    bad[data + 4 * 16 + 8] = char(0x7f);  // tile 5's offset, the high byte of a Q descriptor's
    EXPECT_EQ(decode(bad, nullptr, &why), 0);
    EXPECT_EQ(why.rfind("tile 5: its heap descriptor", 0), 0u) << why;

    auto with = [&](const std::string &key, const std::string &value) {
        Table x = good;
        for (std::string &c : x.cards)
            if (card80(c).substr(0, 8) == card80(key).substr(0, 8)) c = kv(key, value);
        return x.unit();
    };
    EXPECT_EQ(decode(with("ZNAXIS1", "3000000000"), nullptr, &why), 0);
    EXPECT_EQ(why, "ZNAXIS1 = 3000000000 is out of range");
    Table big = good;
    big.cards = {kv("ZCMPTYPE", "'GZIP_1  '"), kv("ZBITPIX", "64"),         kv("ZNAXIS", "3"),
                 kv("ZNAXIS1", "2000000000"),  kv("ZNAXIS2", "2000000000"), kv("ZNAXIS3", "2000000000")};
    EXPECT_EQ(decode(big.unit(), nullptr, &why), 0);
    EXPECT_EQ(why, "the image's size (ZNAXISn) overflows");
    Table huge = good;  // one tile of 2e12 pixels in a few hundred bytes
    huge.tiles.resize(1);
    huge.cards = {kv("ZCMPTYPE", "'GZIP_1  '"), kv("ZBITPIX", "64"),   kv("ZNAXIS", "2"),
                  kv("ZNAXIS1", "2000000000"),  kv("ZNAXIS2", "1000"), kv("ZTILE1", "2000000000"),
                  kv("ZTILE2", "1000")};
    EXPECT_EQ(decode(huge.unit(), nullptr, &why), 0);
    EXPECT_EQ(why, "the table's " + std::to_string(huge.tiles[0].size()) +
                       " heap bytes cannot hold the image's 2000000000000 pixels");
    EXPECT_EQ(decode(with("ZTILE2", "12"), nullptr, &why), 0);
    EXPECT_EQ(why, "the table has 16 rows for the image's 8 tiles");
    EXPECT_EQ(decode(with("ZTILE1", "0"), nullptr, &why), 0);
    EXPECT_EQ(why, "ZTILE1 is not a positive integer");
    EXPECT_EQ(decode(with("ZCMPTYPE", "'HCOMPRESS_1'"), nullptr, &why), 0);
    EXPECT_EQ(why, "HCOMPRESS_1 tiles are not read (RICE_1, GZIP_1, GZIP_2 and NOCOMPRESS are)");
    EXPECT_EQ(decode(with("ZCMPTYPE", "'PLIO_1'"), nullptr, &why), 0);
    EXPECT_EQ(why, "PLIO_1 tiles are not read (RICE_1, GZIP_1, GZIP_2 and NOCOMPRESS are)");
    EXPECT_EQ(decode(with("ZCMPTYPE", "'RICE_1'"), nullptr, &why), 0);
    EXPECT_EQ(why, "RICE_1 tiles of 64-bit integers are not read");
}
#endif

TEST(tilecomp_hostile, rice_tiles_cut_or_damaged_never_read_outside)
{
    if (!have_cfitsio_tools()) GTEST_SKIP() << "fpack is not installed";
    TempDir dir;
    for (const char *name : {"i16", "f32", "u8"}) {
        SCOPED_TRACE(name);
        const std::string plain = dir.write(std::string(name) + ".fits", image_file(test_image(name)));
        const std::string fz = dir.file(std::string(name) + ".fz");
        ASSERT_EQ(run(std::string(kFpack) + " -r -t 60,17 -O " + quoted(fz) + " " + quoted(plain)), true);
        const std::string file = file_contents(fz);
        const std::string unit = file.substr(kBlock);  // after the empty primary
        std::string clean, why;
        ASSERT_EQ(decode(unit, &clean, &why), 1) << why;

        // A Rice stream shorter than its pixels: tile 3 (row 3) given a third of its bytes.
        FITSHead h = ft_headinit(const_cast<char *>(unit.data()), int64_t(unit.size()));
        const int64_t data = h->data, full = h->basic->databytes;
        const int naxis1 = h->basic->naxis[0];
        const int64_t table = int64_t(naxis1) * h->basic->naxis[1];
        ft_headfree(h, 0);
        std::string cut = unit;
        // Descriptors are the first 8 bytes of each row.
        unsigned char *desc = reinterpret_cast<unsigned char *>(cut.data() + data + 2 * naxis1);
        const uint32_t count = uint32_t(desc[0]) << 24 | uint32_t(desc[1]) << 16 | uint32_t(desc[2]) << 8 | desc[3];
        const uint32_t third = count / 3;
        desc[0] = uint8_t(third >> 24), desc[1] = uint8_t(third >> 16), desc[2] = uint8_t(third >> 8),
        desc[3] = uint8_t(third);
        EXPECT_EQ(decode(cut, nullptr, &why), 0);
        EXPECT_EQ(why.rfind("tile 3: its Rice stream ends before its 1020 pixels", 0), 0u) << why;

        // Every cut of the data unit: refused with a reason, never read past.
        for (int64_t bytes = table; bytes < full; bytes += 97) {
            EXPECT_EQ(decode(unit, nullptr, &why, bytes), 0);
            EXPECT_EQ(why.empty(), false);
        }
        // Damaged heap bytes: decoded or refused, nothing else.
        std::mt19937 rng(11);
        for (int k = 0; k < 150; k++) {
            std::string damaged = unit;
            for (int j = 0; j < 4; j++)
                damaged[size_t(data + table + int64_t(rng() % uint32_t(full - table)))] ^= char(1 + rng() % 255);
            const int ok = decode(damaged, nullptr, &why);
            EXPECT_EQ(ok == 1 || (ok == 0 && !why.empty()), true);
        }
    }
}

TEST(tilecomp_hostile, hcompress_is_named_in_the_refusal)
{
    if (!have_cfitsio_tools()) GTEST_SKIP() << "fpack is not installed";
    TempDir dir;
    const std::string plain = dir.write("i16.fits", image_file(test_image("i16")));
    const std::string fz = dir.file("h.fz");
    ASSERT_EQ(run(std::string(kFpack) + " -h -O " + quoted(fz) + " " + quoted(plain)), true);
    std::string why;
    EXPECT_EQ(decode(file_contents(fz).substr(kBlock), nullptr, &why), 0);
    EXPECT_EQ(why, "HCOMPRESS_1 tiles are not read (RICE_1, GZIP_1, GZIP_2 and NOCOMPRESS are)");
    FITSHead h = nullptr;
    void *data = nullptr;
    EXPECT_EQ(ft_simpleimageread((fz + "[1]").c_str(), &h, &data, nullptr, 0), 0);
    EXPECT_EQ(h == nullptr, true);
}
