#include "fits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

template <typename T, typename S>
std::vector<T> run(int to, int from, const std::vector<S> &in, int direction, int hasscale, double bscale,
                   double bzero)
{
    std::vector<T> out(in.size(), T(99));
    ft_acht(to, out.data(), from, in.data(), int64_t(in.size()), direction, hasscale, bscale, bzero);
    return out;
}

// Values representable in an element type, exactly.
template <typename T>
bool holds(double v)
{
    if (std::isnan(v)) return false;
    if (v < double(std::numeric_limits<T>::lowest()) || v > double(std::numeric_limits<T>::max())) return false;
    return double(T(v)) == v;
}

const double kSamples[] = {0, 1, 2, 3, -1, -2, -3, 42, -42, 127, -128, 255, 256, 1000, -1000, 32767, -32768,
                           65535, 65536, 16777216, -16777216, 2147483520.0, 2147483647.0, -2147483648.0,
                           4294967295.0, 0.5, -0.25};

template <typename X, typename Y>
using Converter = void (*)(X *, const Y *, int64_t, int, int, double, double);

// Values held by both types convert exactly, unscaled and scaled both ways;
// 150 elements so that whole blocks and a short remainder are both converted.
template <typename X, typename Y>
void check_pair(Converter<X, Y> f, const char *name)
{
    struct Case { int direction, hasscale; double bscale, bzero; };
    const Case cases[] = {{1, 0, 1, 0}, {1, 1, 2, 10}, {0, 1, 2, 10}, {0, 1, 4, -8}, {1, 1, 1, -100}, {0, 1, 1, -100}};
    for (const Case &c : cases) {
        std::vector<Y> src;
        std::vector<X> want;
        for (double v : kSamples) {
            const double out = !c.hasscale ? v : c.direction ? v * c.bscale + c.bzero : (v - c.bzero) / c.bscale;
            if (holds<Y>(v) && holds<X>(out)) src.push_back(Y(v)), want.push_back(X(out));
        }
        ASSERT_EQ(src.empty(), false) << name;
        for (size_t k = src.size(), n = src.size(); k < 150; k++) src.push_back(src[k % n]), want.push_back(want[k % n]);
        std::vector<X> got(src.size());
        f(got.data(), src.data(), int64_t(src.size()), c.direction, c.hasscale, c.bscale, c.bzero);
        for (size_t k = 0; k < src.size(); k++)
            ASSERT_EQ(got[k], want[k]) << name << " element " << k << " scale " << c.hasscale << " direction "
                                       << c.direction;
    }
}

} // namespace

TEST(ftacht, scaled_shorts_to_floats)
{
    EXPECT_EQ(run<float>(-32, 16, std::vector<int16_t>{0, 1, -3}, 1, 1, 2.0, 10.0),
              (std::vector<float>{10, 12, 4}));
}

TEST(ftacht, floats_to_scaled_shorts_round_to_nearest)
{
    // (13 - 10) / 2 = 1.5 and (15 - 10) / 2 = 2.5: ties go to the even neighbour.
    EXPECT_EQ(run<int16_t>(16, -32, std::vector<float>{10, 13, 4, 15, 5, 10.9f}, 0, 1, 2.0, 10.0),
              (std::vector<int16_t>{0, 2, -3, 2, -2, 0}));
    // Only removing a scale rounds: applying one, the identity scale and the plain
    // conversion truncate toward zero as before.
    EXPECT_EQ(run<int32_t>(32, 16, std::vector<int16_t>{3, -3, 5}, 1, 1, 0.5, 0.0),
              (std::vector<int32_t>{1, -1, 2}));
    EXPECT_EQ(run<int16_t>(16, -64, std::vector<double>{2.7, -2.7, 0.5}, 0, 1, 1.0, 0.0),
              (std::vector<int16_t>{2, -2, 0}));
    EXPECT_EQ(run<int16_t>(16, -64, std::vector<double>{2.7, -2.7, 0.5}, 0, 0, 2.0, 1.0),
              (std::vector<int16_t>{2, -2, 0}));
    // BZERO alone is a scale too; rounding happens before saturation.
    EXPECT_EQ(run<int16_t>(16, -64, std::vector<double>{32768.4, 32766.6, 65535.4, 65535.6, -0.6, 2.5}, 0, 1,
                           1.0, 32768.0),
              (std::vector<int16_t>{0, -1, 32767, 32767, -32768, -32766}));
}

TEST(ftacht, unscaled_float_truncates_toward_zero)
{
    EXPECT_EQ(run<int16_t>(16, -32, std::vector<float>{2.7f, -2.7f, 0.9f, -0.9f}, 1, 0, 1, 0),
              (std::vector<int16_t>{2, -2, 0, 0}));
    EXPECT_EQ(run<int32_t>(32, -64, std::vector<double>{2147483646.99, -2147483647.5}, 1, 0, 1, 0),
              (std::vector<int32_t>{2147483646, -2147483647}));
}

TEST(ftacht, signedness_of_the_source_decides_extension)
{
    EXPECT_EQ(run<float>(-32, 4112, std::vector<uint16_t>{65535}, 1, 0, 1, 0), (std::vector<float>{65535}));
    EXPECT_EQ(run<uint16_t>(4112, 16, std::vector<int16_t>{-1}, 1, 0, 1, 0), (std::vector<uint16_t>{65535}));
    EXPECT_EQ(run<double>(-64, 4128, std::vector<uint32_t>{4294967295u}, 1, 1, 1.0, 0.5),
              (std::vector<double>{4294967295.5}));
    EXPECT_EQ(run<int32_t>(32, 8, std::vector<uint8_t>{255}, 1, 0, 1, 0), (std::vector<int32_t>{255}));
}

TEST(ftacht, integers_narrow_to_low_bits)
{
    EXPECT_EQ(run<uint8_t>(8, 16, std::vector<int16_t>{300, -1}, 1, 0, 1, 0), (std::vector<uint8_t>{44, 255}));
    EXPECT_EQ(run<int16_t>(16, 32, std::vector<int32_t>{70000}, 1, 0, 1, 0), (std::vector<int16_t>{4464}));
}

TEST(ftacht, codes_8_and_4104_are_one_type)
{
    const std::vector<float> in{3.5f, 200.0f, -7.0f};
    EXPECT_EQ(run<uint8_t>(4104, -32, in, 1, 0, 1, 0), run<uint8_t>(8, -32, in, 1, 0, 1, 0));
    EXPECT_EQ(run<uint8_t>(8, -32, in, 1, 0, 1, 0), (std::vector<uint8_t>{3, 200, 0}));
}

TEST(ftacht, unknown_codes_and_empty_counts_change_nothing)
{
    const std::vector<int16_t> in{1, 2, 3};
    EXPECT_EQ(run<float>(128, 16, in, 1, 0, 1, 0), (std::vector<float>{99, 99, 99}));
    EXPECT_EQ(run<float>(-32, 4224, in, 1, 0, 1, 0), (std::vector<float>{99, 99, 99}));
    EXPECT_EQ(run<float>(-32, 0, in, 1, 0, 1, 0), (std::vector<float>{99, 99, 99}));
    EXPECT_EQ(run<float>(0, 16, in, 1, 0, 1, 0), (std::vector<float>{99, 99, 99}));
    EXPECT_EQ(run<float>(4127, 16, in, 1, 0, 1, 0), (std::vector<float>{99, 99, 99}));
    std::vector<float> out{99, 99};
    ft_acht(-32, out.data(), 16, in.data(), 0, 1, 0, 1, 0);
    ft_acht(-32, out.data(), 16, in.data(), -5, 1, 0, 1, 0);
    EXPECT_EQ(out, (std::vector<float>{99, 99}));
}

TEST(ftacht, same_type_copies_bits)
{
    uint32_t bits[3] = {0x7fa00001u, 0xff800000u, 0x80000000u}; // signalling NaN, -inf, -0
    uint32_t out[3] = {};
    ft_acht(-32, out, -32, bits, 3, 1, 0, 1, 0);
    EXPECT_EQ(std::memcmp(out, bits, sizeof bits), 0);
}

TEST(ftacht, out_of_range_saturates_and_nan_gives_zero)
{
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    // 70 copies: whole blocks and a remainder both see every value.
    auto pattern = [](std::vector<double> v) {
        std::vector<double> out;
        for (int k = 0; k < 70; k++) out.insert(out.end(), v.begin(), v.end());
        return out;
    };
    const std::vector<double> in = pattern({inf, -inf, nan, 1e10, -1e10, 4294967295.5, -0.5});
    auto as_double = [](auto v) { return std::vector<double>(v.begin(), v.end()); };
    EXPECT_EQ(as_double(run<uint8_t>(8, -64, in, 1, 0, 1, 0)), pattern({255, 0, 0, 255, 0, 255, 0}));
    EXPECT_EQ(as_double(run<int16_t>(16, -64, in, 1, 0, 1, 0)),
              pattern({32767, -32768, 0, 32767, -32768, 32767, 0}));
    EXPECT_EQ(as_double(run<uint16_t>(4112, -64, in, 1, 0, 1, 0)), pattern({65535, 0, 0, 65535, 0, 65535, 0}));
    EXPECT_EQ(as_double(run<int32_t>(32, -64, in, 1, 0, 1, 0)),
              pattern({2147483647, -2147483648.0, 0, 2147483647, -2147483648.0, 2147483647, 0}));
    EXPECT_EQ(as_double(run<uint32_t>(4128, -64, in, 1, 0, 1, 0)),
              pattern({4294967295.0, 0, 0, 4294967295.0, 0, 4294967295.0, 0}));

    const std::vector<float> fin(in.begin(), in.end());
    EXPECT_EQ(as_double(run<int16_t>(16, -32, fin, 1, 0, 1, 0)),
              pattern({32767, -32768, 0, 32767, -32768, 32767, 0}));
    EXPECT_EQ(as_double(run<int32_t>(32, -32, fin, 1, 0, 1, 0)),
              pattern({2147483647, -2147483648.0, 0, 2147483647, -2147483648.0, 2147483647, 0}));
    EXPECT_EQ(as_double(run<uint32_t>(4128, -32, fin, 1, 0, 1, 0)),
              pattern({4294967295.0, 0, 0, 4294967295.0, 0, 4294967295.0, 0}));
    // Scaling that leaves the range saturates as well.
    EXPECT_EQ(as_double(run<int16_t>(16, 16, std::vector<int16_t>(70, 30000), 1, 1, 2.0, 0.0)),
              as_double(std::vector<int16_t>(70, 32767)));
    EXPECT_EQ(as_double(run<uint8_t>(8, -32, std::vector<float>(70, 1.0f), 0, 1, 0.0, 0.0)),
              as_double(std::vector<uint8_t>(70, 255))); // 1/0 is +inf
}

TEST(ftacht, limits_convert_exactly)
{
    EXPECT_EQ(run<int32_t>(32, -64, std::vector<double>{2147483647.0, -2147483648.0, 2147483647.75}, 1, 0, 1, 0),
              (std::vector<int32_t>{2147483647, INT32_MIN, 2147483647}));
    EXPECT_EQ(run<uint32_t>(4128, -64, std::vector<double>{2147483648.0, 2147483647.5, 4294967294.5}, 1, 0, 1, 0),
              (std::vector<uint32_t>{2147483648u, 2147483647u, 4294967294u}));
    EXPECT_EQ(run<uint16_t>(4112, -32, std::vector<float>{65534.5f, 32768.0f, 32767.5f}, 1, 0, 1, 0),
              (std::vector<uint16_t>{65534, 32768, 32767}));
}

TEST(ftacht, removing_a_scale_divides)
{
    // 0.1 is no power of two: (v - 0) / 0.1 and v * 10 differ for v = 0.3.
    EXPECT_EQ(run<double>(-64, -64, std::vector<double>{0.3}, 0, 1, 0.1, 0.0), (std::vector<double>{0.3 / 0.1}));
    EXPECT_EQ(run<double>(-64, -64, std::vector<double>{1e-310, 3.0}, 0, 1, 0.25, 1.0),
              (std::vector<double>{(1e-310 - 1.0) / 0.25, (3.0 - 1.0) / 0.25}));
    EXPECT_EQ(run<double>(-64, -64, std::vector<double>{1e-300}, 0, 1, 0x1p+1023, 0.0),
              (std::vector<double>{1e-300 / 0x1p+1023}));
    const std::vector<float> zero = run<float>(-32, -32, std::vector<float>{1.0f, 0.0f}, 0, 1, 0.0, 0.0);
    EXPECT_EQ(zero[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(std::isnan(zero[1]), true);
}

TEST(ftacht, widening_in_place_matches_separate_buffers)
{
    std::vector<int16_t> shorts(203);
    for (size_t k = 0; k < shorts.size(); k++) shorts[k] = int16_t(int(k * 331) - 30000);
    for (int hasscale = 0; hasscale < 2; hasscale++) {
        std::vector<float> apart(shorts.size());
        ft_acht(-32, apart.data(), 16, shorts.data(), int64_t(shorts.size()), 1, hasscale, 0.5, 3.0);
        std::vector<float> buffer(shorts.size());
        std::memcpy(buffer.data(), shorts.data(), shorts.size() * sizeof(int16_t));
        ft_acht(-32, buffer.data(), 16, buffer.data(), int64_t(shorts.size()), 1, hasscale, 0.5, 3.0);
        EXPECT_EQ(buffer, apart);
    }
    std::vector<uint8_t> bytes(130);
    for (size_t k = 0; k < bytes.size(); k++) bytes[k] = uint8_t(k * 7);
    std::vector<double> wide(bytes.size());
    std::memcpy(wide.data(), bytes.data(), bytes.size());
    ft_acht(-64, wide.data(), 8, wide.data(), int64_t(bytes.size()), 1, 0, 1, 0);
    EXPECT_EQ(wide, std::vector<double>(bytes.begin(), bytes.end()));
}

TEST(ftacht, equal_sizes_and_narrowing_in_place)
{
    std::vector<int32_t> ints(150);
    for (size_t k = 0; k < ints.size(); k++) ints[k] = int32_t(k) * 1000 - 70000;
    std::vector<float> as_floats(ints.size());
    std::memcpy(as_floats.data(), ints.data(), ints.size() * 4);
    ft_acht(-32, as_floats.data(), 32, as_floats.data(), int64_t(ints.size()), 1, 1, 2.0, 1.0);
    for (size_t k = 0; k < ints.size(); k++) ASSERT_EQ(as_floats[k], float(ints[k] * 2.0 + 1.0));

    std::vector<double> doubles(150);
    for (size_t k = 0; k < doubles.size(); k++) doubles[k] = double(k) - 20.5;
    std::vector<double> buffer = doubles;
    auto *shorts = reinterpret_cast<int16_t *>(buffer.data());
    ft_acht(16, shorts, -64, buffer.data(), int64_t(doubles.size()), 1, 0, 1, 0);
    for (size_t k = 0; k < doubles.size(); k++) ASSERT_EQ(shorts[k], int16_t(doubles[k]));
}

// Every named converter, destination letter first.
#define ACHT_CASE(X, Y, TX, TY) check_pair<TX, TY>(acht##X##Y, "acht" #X #Y);
#define ACHT_ROW(X, TX)                                                                                 \
    ACHT_CASE(X, c, TX, int8_t) ACHT_CASE(X, s, TX, int16_t) ACHT_CASE(X, i, TX, int32_t)               \
    ACHT_CASE(X, l, TX, int32_t) ACHT_CASE(X, r, TX, float) ACHT_CASE(X, d, TX, double)                 \
    ACHT_CASE(X, t, TX, uint8_t) ACHT_CASE(X, u, TX, uint16_t) ACHT_CASE(X, v, TX, uint32_t)            \
    ACHT_CASE(X, w, TX, uint32_t) ACHT_CASE(X, k, TX, int64_t) ACHT_CASE(X, x, TX, uint64_t)

TEST(ftacht, every_pair_converts_shared_values_exactly)
{
    ACHT_ROW(c, int8_t)
    ACHT_ROW(s, int16_t)
    ACHT_ROW(i, int32_t)
    ACHT_ROW(l, int32_t)
    ACHT_ROW(r, float)
    ACHT_ROW(d, double)
    ACHT_ROW(t, uint8_t)
    ACHT_ROW(u, uint16_t)
    ACHT_ROW(v, uint32_t)
    ACHT_ROW(w, uint32_t)
    ACHT_ROW(k, int64_t)
    ACHT_ROW(x, uint64_t)
}

// Doubles into each integer type as the element rule says: NaN 0, saturated at
// the limits, truncated toward zero.  Most blocks hold only values inside int32,
// some one that is not, at a different position in each.
template <typename T>
void check_saturation(Converter<T, double> f, int code, const char *name)
{
    std::vector<double> in(64 * 40);
    uint64_t h = 88172645463325252u;
    for (double &v : in) {
        h ^= h << 13, h ^= h >> 7, h ^= h << 17;
        v = (double(int64_t(h >> 11)) / 9007199254740992.0 - 0.5) * 6e4;
    }
    const double specials[] = {std::nan(""), 1e300, -1e300, 2147483648.0, -2147483648.5, -2147483648.0, 3e9};
    for (int b = 1; b < 40; b += 3) in[size_t(64 * b + b)] = specials[size_t(b) % 7];
    std::vector<T> want;
    const double lo = double(std::numeric_limits<T>::min()), hi = double(std::numeric_limits<T>::max());
    for (double v : in)
        want.push_back(std::isnan(v) ? T(0)
                       : v <= lo     ? std::numeric_limits<T>::min()
                       : v >= hi     ? std::numeric_limits<T>::max()
                                     : T(std::trunc(v)));
    std::vector<T> got(in.size());
    f(got.data(), in.data(), int64_t(in.size()), 1, 0, 1.0, 0.0);
    EXPECT_EQ(got, want) << name;

    // Floats scaled on the way: BZERO added, then the same rule (no pixel code
    // names int8).
    if (code == 0) return;
    std::vector<float> floats(in.begin(), in.end());
    want.clear();
    for (float x : floats) {
        const double v = double(x) + 0.5;
        want.push_back(std::isnan(v) ? T(0)
                       : v <= lo     ? std::numeric_limits<T>::min()
                       : v >= hi     ? std::numeric_limits<T>::max()
                                     : T(std::trunc(v)));
    }
    ft_acht(code, got.data(), -32, floats.data(), int64_t(floats.size()), 1, 1, 1.0, 0.5);
    EXPECT_EQ(got, want) << name << " from floats";
}

TEST(ftacht, doubles_saturate_in_every_block)
{
    check_saturation<int8_t>(achtcd, 0, "achtcd");
    check_saturation<uint8_t>(achttd, 8, "achttd");
    check_saturation<int16_t>(achtsd, 16, "achtsd");
    check_saturation<uint16_t>(achtud, 4112, "achtud");
    check_saturation<int32_t>(achtid, 32, "achtid");
    check_saturation<uint32_t>(achtvd, 4128, "achtvd");
    check_saturation<int64_t>(achtkd, 64, "achtkd");
    check_saturation<uint64_t>(achtxd, 4160, "achtxd");
}
