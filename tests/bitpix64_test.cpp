// 64-bit integer images (BITPIX 64, and the unsigned ones stored with BZERO 2^63)
// through every path: files astropy wrote and reads back, mappings, streams and
// pipes, the converters against exact arithmetic; and scaled integers read and
// written back unchanged.  Expected file bytes are built big-endian here, byte by
// byte, so the tests hold on either host byte order.
#include "fits.h"

#include "fits_files.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// The reference arithmetic: every int64 and uint64, and their sums with an offset
// of at most 2^63, are exact in a long double of 64 or more digits.
static_assert(std::numeric_limits<long double>::digits >= 64, "the reference needs a 64-bit mantissa");

std::string be64(uint64_t v)
{
    std::string s(8, '\0');
    for (int k = 0; k < 8; k++) s[size_t(k)] = char(v >> (56 - 8 * k));
    return s;
}

std::string be16(uint16_t v) { return {char(v >> 8), char(v & 0xff)}; }

std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }

// KEY     =                value: a number right-justified to column 30, a string from column 11.
std::string kv(const std::string &key, const std::string &value)
{
    std::string k = key;
    k.resize(8, ' ');
    return k + "= " + (value[0] == '\'' ? value : std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value);
}

// A unit: its cards, END and blanks to a whole block, then the data and zeros to a whole block.
std::string unit(const std::vector<std::string> &cards, std::string data)
{
    data.resize((data.size() + kBlock - 1) / kBlock * kBlock, '\0');
    return header_bytes(cards) + data;
}

std::vector<std::string> image_cards(bool primary, int bitpix, std::vector<int> axes, std::vector<std::string> extra = {})
{
    std::vector<std::string> c = {primary ? kv("SIMPLE", "T") : kv("XTENSION", "'IMAGE   '"),
                                  kv("BITPIX", std::to_string(bitpix)), kv("NAXIS", std::to_string(axes.size()))};
    for (size_t i = 0; i < axes.size(); i++) c.push_back(kv("NAXIS" + std::to_string(i + 1), std::to_string(axes[i])));
    if (!primary) c.insert(c.end(), {kv("PCOUNT", "0"), kv("GCOUNT", "1")});
    c.insert(c.end(), extra.begin(), extra.end());
    return c;
}

std::string primary_without_data() { return unit({kv("SIMPLE", "T"), kv("BITPIX", "8"), kv("NAXIS", "0"), kv("EXTEND", "T")}, ""); }

uint64_t next(uint64_t &h)
{
    h ^= h << 13, h ^= h >> 7, h ^= h << 17;
    return h;
}

// 64-bit values of every magnitude: the extremes, both sides of 2^53 and of the
// narrower types' limits, and random values shifted to random widths.
std::vector<uint64_t> bits64(size_t n, uint64_t seed)
{
    std::vector<uint64_t> v = {0, 1, ~0ull, 1ull << 63, (1ull << 63) - 1, (1ull << 63) + 1, (1ull << 53) + 1,
                               ~((1ull << 53) + 1) + 1, (1ull << 62) + 1025, ~((1ull << 62) + 1025) + 1, 127, 128,
                               255, 256, 32767, 32768, 65535, 65536, 2147483647, 2147483648u, 4294967295u,
                               4294967296ull, ~32768ull + 1, ~32769ull + 1, ~2147483648ull + 1, ~2147483649ull + 1};
    while (v.size() < n) {
        const uint64_t r = next(seed);
        v.push_back(r >> (r % 64));
        if (r & 1) v.back() = ~v.back() + 1;
    }
    return v;
}

template <typename T>
std::vector<T> as(const std::vector<uint64_t> &bits)
{
    std::vector<T> out;
    for (uint64_t b : bits) out.push_back(T(b)); // modular into signed types
    return out;
}

std::string data_of(const std::vector<uint64_t> &stored)
{
    std::string d;
    for (uint64_t v : stored) d += be64(v);
    return d;
}

template <typename T>
std::vector<T> copy_out(const void *data, size_t n)
{
    std::vector<T> out(n);
    std::memcpy(out.data(), data, n * sizeof(T));
    return out;
}

// Reads unit `selector` of path as n values of pixtype; empty on failure.
template <typename T>
std::vector<T> read_image(const std::string &path, int pixtype, size_t n, FITSHead *keep = nullptr)
{
    FITSHead h = nullptr;
    void *data = nullptr;
    if (!ft_simpleimageread(path.c_str(), &h, &data, nullptr, pixtype)) return {};
    std::vector<T> out = copy_out<T>(data, n);
    std::free(data);
    if (keep) *keep = h;
    else ft_headfree(h, 1);
    return out;
}

// Bytes of the data unit of a single-unit file written by the library.
std::string data_unit_of(const std::string &path)
{
    const std::string all = file_contents(path);
    for (size_t at = 0; at + 80 <= all.size(); at += 80)
        if (all.compare(at, 80, card80("END")) == 0) return all.substr((at / kBlock + 1) * kBlock);
    return "";
}

struct Output {
    int status = -1;
    std::string text;
};

Output run(const std::string &command)
{
    Output out;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.text.append(buf, n);
    const int status = pclose(pipe);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// Debian's interpreter, where astropy is installed.
const char *const kPython = "/usr/bin/python3";

// Writes a file of a signed and an unsigned 64-bit image (13 x 7) from two lists of
// decimal values, or prints each image of the files named: dtype kind, size, values.
const char *const kAstropyScript = R"(import sys
import numpy as np
from astropy.io import fits
if sys.argv[1] == 'write':
    s = np.array([int(x) for x in open(sys.argv[2]).read().split()], dtype=np.int64).reshape(13, 7)
    u = np.array([int(x) for x in open(sys.argv[3]).read().split()], dtype=np.uint64).reshape(13, 7)
    fits.HDUList([fits.PrimaryHDU(s), fits.ImageHDU(u, name='U')]).writeto(sys.argv[4])
else:
    for name in sys.argv[2:]:
        with fits.open(name) as f:
            d = f[0].data
            print(d.dtype.kind, d.dtype.itemsize, ' '.join(str(int(x)) for x in d.ravel()))
)";

template <typename T>
std::string decimal(const std::vector<T> &v)
{
    std::string s;
    for (T x : v) {
        if (!s.empty()) s += ' ';
        s += std::to_string(x);
    }
    return s;
}

} // namespace

TEST(bitpix64, astropy_images_read_exactly_and_written_back_read_the_same)
{
    if (run(std::string(kPython) + " -c 'import astropy.io.fits, numpy'").status != 0)
        GTEST_SKIP() << "no astropy for " << kPython;
    constexpr size_t kN = 91;
    const std::vector<int64_t> s = as<int64_t>(bits64(kN, 11));
    const std::vector<uint64_t> u = bits64(kN, 12);
    TempDir dir;
    dir.write("s.txt", decimal(s));
    dir.write("u.txt", decimal(u));
    dir.write("io.py", kAstropyScript);
    const std::string ours = dir.file("astropy.fits");
    const Output wrote = run(std::string(kPython) + " " + dir.file("io.py") + " write " + dir.file("s.txt") + " " +
                             dir.file("u.txt") + " " + ours);
    ASSERT_EQ(wrote.status, 0) << wrote.text;

    // Signed, in its own type and as BITPIX 64 asked by code; as doubles, each value
    // rounded once; the stored bytes big-endian.
    FITSHead hs = nullptr;
    EXPECT_EQ(read_image<int64_t>(ours, -1, kN, &hs), s);
    ASSERT_NE(hs, nullptr);
    EXPECT_EQ(hs->basic->bitpix, 64);
    EXPECT_EQ(read_image<int64_t>(ours, 64, kN), s);
    std::vector<double> want_d;
    for (int64_t v : s) want_d.push_back(double(v));
    EXPECT_EQ(read_image<double>(ours, -64, kN), want_d);
    std::string stored_s;
    for (int64_t v : s) stored_s += be64(uint64_t(v));
    const std::vector<char> raw_s = read_image<char>(ours, 0, 8 * kN);
    EXPECT_EQ(std::string(raw_s.begin(), raw_s.end()), stored_s);

    // Unsigned through BZERO 2^63: exact as uint64; saturated at INT64_MAX in int64,
    // the library's rule for a physical value beyond the memory type; as doubles and
    // floats rounded once from the exact value.
    const std::string ext = ours + "[U]";
    FITSHead hu = nullptr;
    EXPECT_EQ(read_image<uint64_t>(ext, 4160, kN, &hu), u);
    ASSERT_NE(hu, nullptr);
    EXPECT_EQ(hu->image->dbzero, 9223372036854775808.0);
    std::vector<int64_t> want_sat;
    std::vector<float> want_f;
    want_d.clear();
    for (uint64_t v : u) {
        want_sat.push_back(v > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(v));
        want_d.push_back(double(v));
        want_f.push_back(float(v));
    }
    EXPECT_EQ(read_image<int64_t>(ext, -1, kN), want_sat);
    EXPECT_EQ(read_image<double>(ext, -64, kN), want_d);
    EXPECT_EQ(read_image<float>(ext, -32, kN), want_f);
    std::string stored_u;
    for (uint64_t v : u) stored_u += be64(v ^ (1ull << 63));
    const std::vector<char> raw_u = read_image<char>(ext, 0, 8 * kN);
    EXPECT_EQ(std::string(raw_u.begin(), raw_u.end()), stored_u);

    // Written back by the library: the same stored bytes, and astropy reads the values.
    std::vector<int64_t> s_copy = s;  // converted in place (own type)
    std::vector<uint64_t> u_copy = u; // converted in place (same size)
    const std::string out_s = dir.file("lib_s.fits"), out_u = dir.file("lib_u.fits");
    ASSERT_EQ(ft_simpleimagewrite(out_s.c_str(), hs, s_copy.data(), -1), 1);
    ASSERT_EQ(ft_simpleimagewrite(out_u.c_str(), hu, u_copy.data(), 4160), 1);
    EXPECT_EQ(data_unit_of(out_s).substr(0, stored_s.size()), stored_s);
    EXPECT_EQ(data_unit_of(out_u).substr(0, stored_u.size()), stored_u);
    const Output back = run(std::string(kPython) + " " + dir.file("io.py") + " read " + out_s + " " + out_u);
    EXPECT_EQ(back.text, "i 8 " + decimal(s) + "\nu 8 " + decimal(u) + "\n");
    ft_headfree(hs, 1);
    ft_headfree(hu, 1);

    if (run("command -v fitsverify").status != 0) GTEST_SKIP() << "no fitsverify";
    for (const std::string &f : {out_s, out_u}) {
        const Output verdict = run("fitsverify " + f);
        EXPECT_NE(verdict.text.find("**** Verification found 0 warning(s) and 0 error(s). ****"), std::string::npos)
            << verdict.text;
    }
}

TEST(bitpix64, mapping_streams_pipes_and_swap8_carry_64_bit_images)
{
    constexpr int kNx = 97, kNy = 71; // 55096 bytes: more than one piece of the stream reader
    constexpr size_t kN = size_t(kNx) * kNy;
    const std::vector<uint64_t> bits = bits64(kN, 5);
    const std::vector<int64_t> values = as<int64_t>(bits);
    const std::string data = data_of(bits);
    const std::string file = primary_without_data() +
                             unit(image_cards(false, 64, {kNx, kNy}, {kv("EXTNAME", "'WIDE    '")}), data) +
                             unit(image_cards(false, 16, {3}, {kv("EXTNAME", "'NEXT    '")}), be16(1) + be16(65535) + be16(3));
    TempDir dir;
    const std::string path = dir.write("wide.fits", file);

    // swap8 reverses whatever the host: the file bytes become little-endian values.
    std::string little(data.size(), '\0');
    swap8(little.data(), data.data(), int64_t(data.size()));
    for (size_t k = 0; k < kN; k++)
        for (int b = 0; b < 8; b++) ASSERT_EQ(little[8 * k + size_t(b)], char(bits[k] >> (8 * b))) << k;

    // The mapping: the unit's bytes in place, rows of 8-byte elements, host values
    // through ft_dataswap.
    FITSHead h = nullptr;
    void *mapped = nullptr;
    void **view = nullptr;
    ASSERT_EQ(ft_simpleimagemmap((path + "[WIDE]").c_str(), &h, &mapped, &view, PROT_READ, MAP_PRIVATE), 1);
    EXPECT_EQ(std::memcmp(mapped, data.data(), data.size()), 0);
    EXPECT_EQ(static_cast<char *>(view[1]) - static_cast<char *>(view[0]), 8 * kNx);
    std::vector<int64_t> host(kN);
    ft_dataswap(host.data(), mapped, int64_t(data.size()), 64);
    EXPECT_EQ(host, values);
    std::free(view);
    ft_headfree(h, 1);

    // The stream: own type, the view over it, and the next unit found after it.
    h = nullptr;
    void *read = nullptr;
    ASSERT_EQ(ft_simpleimageread((path + "[1]").c_str(), &h, &read, &view, -1), 1);
    EXPECT_EQ(copy_out<int64_t>(read, kN), values);
    EXPECT_EQ(static_cast<int64_t *>(view[kNy - 1])[kNx - 1], values.back());
    EXPECT_EQ(read_image<uint16_t>(path + "[NEXT]", 4112, 3), (std::vector<uint16_t>{1, 65535, 3}));

    // Written to a stream in its own type: the header and exactly the file's data unit.
    FILE *f = std::tmpfile();
    std::vector<int64_t> copy = values;
    ASSERT_EQ(ft_imagewrite(f, h, copy.data(), 64), 1);
    std::rewind(f);
    const std::string written = rest_of(f);
    std::fclose(f);
    const size_t padded = (data.size() + kBlock - 1) / kBlock * kBlock;
    ASSERT_EQ(written.size() % kBlock, 0u);
    EXPECT_EQ(written.substr(written.size() - padded), unit({}, data).substr(kBlock));
    std::free(view);
    std::free(read);
    ft_headfree(h, 1);

    // A pipe, which cannot seek: a primary 64-bit image read as it arrives.
    PipeFeed pipe(unit(image_cards(true, 64, {kNx, kNy}), data) + primary_without_data());
    ASSERT_NE(pipe.stream, nullptr);
    h = nullptr;
    read = nullptr;
    ASSERT_EQ(ft_imageread(pipe.stream, &h, &read, nullptr, -1), 1);
    EXPECT_EQ(copy_out<int64_t>(read, kN), values);
    std::free(read);
    ft_headfree(h, 1);
}

namespace {

struct Scale {
    int hasscale;
    double bscale, bzero;
};

// Bscale 1 with a whole BZERO (the unsigned conventions among them), the identity
// given as a scale, and scales that go through doubles.
const Scale kScales[] = {{0, 1, 0},    {1, 1, 0},       {1, 1, 0x1p63},    {1, 1, -0x1p63},
                         {1, 1, 32768}, {1, 1, -128},   {1, 0.5, 3},       {1, 3, -7.25}};

template <typename T>
constexpr int code_of()
{
    if constexpr (std::is_floating_point_v<T>) return -int(8 * sizeof(T));
    else return int(8 * sizeof(T)) + (std::is_unsigned_v<T> && sizeof(T) > 1 ? 4096 : 0);
}

// NaN 0, saturated at the limits, truncated toward zero inside: compared in long double.
template <typename D>
D saturate(long double x)
{
    if (std::isnan(x)) return D(0);
    if (x >= (long double)std::numeric_limits<D>::max()) return std::numeric_limits<D>::max();
    if (x <= (long double)std::numeric_limits<D>::min()) return std::numeric_limits<D>::min();
    return D(x);
}

// What a converter must give for one element, computed apart from the library.
template <typename D, typename S>
D reference(S v, int direction, const Scale &c)
{
    constexpr bool wide_pair = std::is_integral_v<S> && (sizeof(S) == 8 || (std::is_integral_v<D> && sizeof(D) == 8));
    if (!c.hasscale) {
        if constexpr (std::is_integral_v<D> && std::is_floating_point_v<S>) return saturate<D>((long double)v);
        else return D(v); // integers to their low bits, anything to floating rounded once
    }
    if (wide_pair && c.bscale == 1) {
        // Exact: the sum is a whole number in a long double.
        const long double exact = (long double)v + (direction ? c.bzero : -c.bzero);
        if constexpr (std::is_floating_point_v<D>) return D(exact);
        else return saturate<D>(exact);
    }
    double x = direction ? double(v) * c.bscale + c.bzero : (double(v) - c.bzero) / c.bscale;
    if constexpr (std::is_floating_point_v<D>) {
        return D(x);
    } else {
        if (!direction && !(c.bscale == 1 && c.bzero == 0)) x = std::nearbyint(x); // ties to even
        return saturate<D>(x);
    }
}

// Every scale and direction from S into D, against the reference, apart and in place.
template <typename D, typename S>
void check_into(const std::vector<S> &src)
{
    for (const Scale &c : kScales)
        for (int direction : {1, 0}) {
            std::vector<D> want;
            for (S v : src) want.push_back(reference<D>(v, direction, c));
            std::vector<D> got(src.size());
            ft_acht(code_of<D>(), got.data(), code_of<S>(), src.data(), int64_t(src.size()), direction, c.hasscale,
                    c.bscale, c.bzero);
            std::vector<unsigned char> buffer(src.size() * std::max(sizeof(D), sizeof(S)));
            std::memcpy(buffer.data(), src.data(), src.size() * sizeof(S));
            ft_acht(code_of<D>(), buffer.data(), code_of<S>(), buffer.data(), int64_t(src.size()), direction,
                    c.hasscale, c.bscale, c.bzero);
            const std::vector<D> in_place = copy_out<D>(buffer.data(), src.size());
            for (size_t k = 0; k < src.size(); k++) {
                const bool same = std::is_floating_point_v<D> && std::isnan(double(want[k]))
                                      ? std::isnan(double(got[k])) && std::isnan(double(in_place[k]))
                                      : got[k] == want[k] && in_place[k] == want[k];
                ASSERT_EQ(same, true) << code_of<S>() << " -> " << code_of<D>() << " element " << k << " (" << +src[k]
                                      << ") direction " << direction << " scale " << c.hasscale << " " << c.bscale
                                      << " " << c.bzero << ": got " << +got[k] << " in place " << +in_place[k]
                                      << " want " << +want[k];
            }
        }
}

template <typename S>
void check_from(const std::vector<S> &src)
{
    check_into<uint8_t>(src); // no pixel code names int8
    check_into<int16_t>(src);
    check_into<uint16_t>(src);
    check_into<int32_t>(src);
    check_into<uint32_t>(src);
    check_into<int64_t>(src);
    check_into<uint64_t>(src);
    check_into<float>(src);
    check_into<double>(src);
}

} // namespace

TEST(bitpix64, conversions_to_and_from_64_bit_integers_match_exact_arithmetic)
{
    ASSERT_EQ(std::fegetround(), FE_TONEAREST);
    const std::vector<uint64_t> bits = bits64(150, 3);
    // 64-bit sources into every type.
    check_from(as<int64_t>(bits));
    check_from(as<uint64_t>(bits));
    // Every type into 64-bit integers: narrower integers, and floating values with
    // NaN, infinities, ties and the limits 2^63 and 2^64 on both sides.
    check_into<int64_t>(as<int16_t>(bits));
    check_into<uint64_t>(as<int16_t>(bits));
    check_into<int64_t>(as<uint32_t>(bits));
    check_into<uint64_t>(as<uint32_t>(bits));
    check_into<int64_t>(as<uint8_t>(bits));
    std::vector<double> reals = {std::nan(""), INFINITY, -INFINITY, 0x1p63, -0x1p63, 0x1p64, 0x1p63 - 1024,
                                 -0x1p63 - 2048, 0x1p64 - 2048, 0.5, -0.5, 1.5, 2.5, -2.5, 0x1p52 + 1, 1e300};
    uint64_t h = 9;
    while (reals.size() < 150) {
        const uint64_t r = next(h);
        reals.push_back(std::ldexp(double(int64_t(r) >> 11), int(r % 80) - 60) + ((r & 3) == 0 ? 0.5 : 0.0));
    }
    check_into<int64_t>(reals);
    check_into<uint64_t>(reals);
    const std::vector<float> floats(reals.begin(), reals.end());
    check_into<int64_t>(floats);
    check_into<uint64_t>(floats);
}

namespace {

// A file of one image of BITPIX bitpix with BSCALE 0.1 and BZERO 3 and these stored
// values, read as pixtype and written back: the data units must be identical.
void expect_lossless_round_trip(int bitpix, const std::vector<uint64_t> &stored, int pixtype)
{
    std::string data;
    for (uint64_t v : stored)
        data += bitpix == 8 ? std::string(1, char(v)) : bitpix == 16 ? be16(uint16_t(v)) : bitpix == 32 ? be32(uint32_t(v)) : be64(v);
    TempDir dir;
    const std::string path = dir.write(
        "in.fits", unit(image_cards(true, bitpix, {int(stored.size())}, {kv("BSCALE", "0.1"), kv("BZERO", "3")}), data));
    FITSHead h = nullptr;
    void *values = nullptr;
    ASSERT_EQ(ft_simpleimageread(path.c_str(), &h, &values, nullptr, pixtype), 1);
    const std::string out = dir.file("out.fits");
    ASSERT_EQ(ft_simpleimagewrite(out.c_str(), h, values, pixtype), 1);
    const std::string back = data_unit_of(out);
    size_t changed = 0;
    for (size_t k = 0; k < data.size(); k++) changed += back[k] != data[k];
    EXPECT_EQ(changed, 0u) << "BITPIX " << bitpix << " through " << pixtype;
    EXPECT_EQ(back.size(), (data.size() + kBlock - 1) / kBlock * kBlock);
    std::free(values);
    ft_headfree(h, 1);
}

} // namespace

TEST(bitpix64, scaled_integers_read_and_written_back_are_unchanged)
{
    // Every 8- and 16-bit value, through doubles and floats.
    std::vector<uint64_t> bytes, shorts;
    for (uint64_t v = 0; v < 256; v++) bytes.push_back(v);
    for (uint64_t v = 0; v < 65536; v++) shorts.push_back(v);
    for (int pixtype : {-64, -32}) {
        expect_lossless_round_trip(8, bytes, pixtype);
        expect_lossless_round_trip(16, shorts, pixtype);
    }
    // 32-bit values of every width, the limits included; 64-bit values below 2^48,
    // where a double still tells neighbouring physical values apart.
    std::vector<uint64_t> ints = bits64(20000, 21), longs = bits64(20000, 22);
    for (uint64_t &v : longs) v = uint64_t(int64_t(v) >> 16);
    expect_lossless_round_trip(32, ints, -64);
    expect_lossless_round_trip(64, longs, -64);

    // What truncation would have done: some of the 16-bit values read as doubles
    // are just below their stored value once the scale is removed.
    int truncated_wrong = 0;
    for (uint64_t v : shorts) {
        const double physical = double(int16_t(v)) * 0.1 + 3;
        truncated_wrong += std::trunc((physical - 3) / 0.1) != double(int16_t(v));
    }
    EXPECT_GT(truncated_wrong, 1000);
}

TEST(bitpix64, refused_writes_leave_no_file_and_no_header)
{
    TempDir dir;
    const std::string path = dir.write("in.fits", unit(image_cards(true, 64, {2}), be64(5) + be64(~0ull)));
    FITSHead h = nullptr;
    void *data = nullptr;
    ASSERT_EQ(ft_simpleimageread(path.c_str(), &h, &data, nullptr, -1), 1);
    const std::string out = dir.file("out.fits");
    for (int pixtype : {12, 128, 4224}) {
        EXPECT_EQ(ft_simpleimagewrite(out.c_str(), h, data, pixtype), 0) << pixtype;
        EXPECT_EQ(access(out.c_str(), F_OK), -1) << pixtype;
        FILE *f = std::tmpfile();
        EXPECT_EQ(ft_imagewrite(f, h, data, pixtype), 0) << pixtype;
        EXPECT_EQ(std::ftell(f), 0) << pixtype;
        std::fclose(f);
    }
    EXPECT_EQ(ft_simpleimagewrite(out.c_str(), h, nullptr, -1), 0); // data missing
    EXPECT_EQ(access(out.c_str(), F_OK), -1);
    EXPECT_EQ(ft_simpleimagewrite(out.c_str(), h, data, -1), 1);
    EXPECT_EQ(data_unit_of(out).substr(0, 16), be64(5) + be64(~0ull));
    std::free(data);
    ft_headfree(h, 1);
}

// BITPIX -2147483648 cannot be negated as an int: every path that takes an element
// size from it must stay defined (the sanitizer build checks), and none reads data.
TEST(bitpix64, the_most_negative_bitpix_is_refused_or_read_raw)
{
    TempDir dir;
    const std::string none = dir.write("none.fits", unit(image_cards(true, INT_MIN, {}), ""));
    const std::string one = dir.write("one.fits", unit(image_cards(true, INT_MIN, {1}), std::string(kBlock, 'x')));
    EXPECT_EQ(ft_sizeof(INT_MIN), 0);

    FITSHead h = nullptr;
    void *data = nullptr;
    void **view = nullptr;
    ASSERT_EQ(ft_simpleimagemmap(none.c_str(), &h, &data, &view, PROT_READ, MAP_PRIVATE), 1);
    EXPECT_EQ(h->basic->bitpix, INT_MIN);
    EXPECT_EQ(h->basic->databytes, 0);
    std::free(view);
    ft_headfree(h, 1);
    // 2^28 bytes an element: the data run past the file.
    EXPECT_EQ(ft_simpleimagemmap(one.c_str(), &h, &data, &view, PROT_READ, MAP_PRIVATE), 0);
    EXPECT_EQ(h, nullptr);

    for (int pixtype : {-1, -64, 16}) {
        data = nullptr;
        EXPECT_EQ(ft_simpleimageread(none.c_str(), &h, &data, &view, pixtype), 0) << pixtype;
        EXPECT_EQ(ft_simpleimageread(one.c_str(), &h, &data, &view, pixtype), 0) << pixtype;
    }
    data = nullptr;
    ASSERT_EQ(ft_simpleimageread(none.c_str(), &h, &data, &view, 0), 1); // no data: nothing to convert
    std::free(view);
    std::free(data);
    ft_headfree(h, 1);
    data = nullptr;
    EXPECT_EQ(ft_simpleimageread(one.c_str(), &h, &data, &view, 0), 0);
}
