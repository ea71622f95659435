// The big-endian codec and the frame loaders built on it: every width against
// the definition of big-endian order (most significant byte first, computed with
// arithmetic, so the same on every host), and whole frames at every length and
// alignment against the codec's one-element decode.
#include "pixels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

namespace {

// The unsigned value of the n bytes at p read most significant first.
uint64_t big_endian_value(const unsigned char *p, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}

template <typename T>
void expect_codec_is_big_endian(std::mt19937 &random)
{
    typedef std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>> U;
    unsigned char bytes[sizeof(T)], back[sizeof(T)];
    for (int i = 0; i < 2000; i++) {
        for (unsigned char &b : bytes) b = static_cast<unsigned char>(random());
        const T v = load_be<T>(bytes);
        EXPECT_EQ(std::bit_cast<U>(v), U(big_endian_value(bytes, sizeof(T)))) << sizeof(T) << " bytes";
        store_be<T>(back, v);
        EXPECT_EQ(std::memcmp(back, bytes, sizeof(T)), 0) << sizeof(T) << " bytes";
    }
}

} // namespace

TEST(pixels, codec_reads_and_writes_most_significant_byte_first_at_every_width)
{
    std::mt19937 random(7);
    expect_codec_is_big_endian<int16_t>(random);
    expect_codec_is_big_endian<uint16_t>(random);
    expect_codec_is_big_endian<int32_t>(random);
    expect_codec_is_big_endian<float>(random); // NaN payloads and signs kept bit for bit
    expect_codec_is_big_endian<int64_t>(random);
    expect_codec_is_big_endian<double>(random);
    const unsigned char minus_two[] = {0xff, 0xfe, 0x80, 0, 0, 0, 0, 0};
    EXPECT_EQ(load_be<int16_t>(minus_two), -2);
    EXPECT_EQ(load_be<int32_t>(minus_two + 1), int32_t(0xfe800000u));
    EXPECT_EQ(be32_at(minus_two, 1), 0u);
}

TEST(pixels, frames_decode_as_their_pixels_at_every_length_and_alignment)
{
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::infinity(),  std::numeric_limits<float>::denorm_min(),
                              -0.0f, std::numeric_limits<float>::max(), -1.5f, 3.25e-20f};
    std::mt19937 random(11);
    for (int n = 0; n <= 41; n++)
        for (size_t offset = 0; offset < 4; offset++) {
            std::vector<unsigned char> file(offset + 4 * size_t(n) + 1);
            for (unsigned char &b : file) b = static_cast<unsigned char>(random());
            for (int p = 0; p < n; p += 3) store_be<float>(&file[offset + 4 * size_t(p)], specials[p % 8]);
            const unsigned char *from = file.data() + offset;
            std::vector<float> host(size_t(n) + 1), fringe(size_t(n) + 1);
            std::vector<unsigned char> state(size_t(n) + 1, MASKED);
            read_floats(host.data(), from, n);
            load_fringe(fringe.data(), from, state.data(), n);
            for (int p = 0; p < n; p++) {
                const uint32_t bits = be32_at(from, p);
                EXPECT_EQ(std::bit_cast<uint32_t>(host[size_t(p)]), bits) << n << " pixels, pixel " << p;
                const bool finite = std::isfinite(std::bit_cast<float>(bits));
                EXPECT_EQ(std::bit_cast<uint32_t>(fringe[size_t(p)]), finite ? bits : 0u) << n << ", " << p;
                EXPECT_EQ(state[size_t(p)], finite ? MASKED : FRINGE_NOT_FINITE) << n << ", " << p;
            }
            EXPECT_EQ(state[size_t(n)], MASKED); // nothing past the frame

            // The pixels as residuals go back to the same bytes, but those whose
            // science value is not finite, which are not written at all.
            std::vector<double> s(static_cast<size_t>(n));
            std::vector<unsigned char> science_state(static_cast<size_t>(n));
            for (int p = 0; p < n; p++) {
                s[size_t(p)] = host[size_t(p)];
                science_state[size_t(p)] = std::isfinite(host[size_t(p)]) ? USABLE : SCIENCE_NOT_FINITE;
            }
            std::vector<unsigned char> out(4 * size_t(n), 0x5a);
            store_residuals(out.data(), s.data(), science_state.data(), n);
            for (int p = 0; p < n; p++) {
                const bool kept = science_state[size_t(p)] == SCIENCE_NOT_FINITE;
                EXPECT_EQ(be32_at(out.data(), p), kept ? 0x5a5a5a5au : be32_at(from, p)) << n << ", " << p;
            }
        }
}
