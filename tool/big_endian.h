// The big-endian codec of FITS data: the elements of a data unit are stored most
// significant byte first on every host.  Every decode and encode of pixels in the
// tool goes through these few inline functions; on a big-endian host they copy.
#ifndef TOLV_BIG_ENDIAN_H
#define TOLV_BIG_ENDIAN_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// A 32-bit word, or a vector of them, between file and host order (the same
// swap both ways).  Written with shifts rather than a builtin so that it applies
// to vectors too (SSE2 has no byte shuffle); on one word the compiler makes it a
// bswap instruction.
template <typename W>
inline W swap_file_order32(W u)
{
    if constexpr (std::endian::native == std::endian::little)
        return u << 24 | (u & 0xff00u) << 8 | (u >> 8 & 0xff00u) | u >> 24;
    else
        return u;
}

// n 32-bit words at `from` between file and host order, at `to` (which may be
// `from`): four at a time in a 16-byte vector, since on single words the
// compiler makes the swap a bswap instruction, which it cannot vectorize.  On a
// big-endian host, a copy.
inline void swap_words32(void *to, const void *from, int n)
{
    typedef uint32_t Four __attribute__((vector_size(16)));
    auto *out = static_cast<unsigned char *>(to);
    const auto *in = static_cast<const unsigned char *>(from);
    if constexpr (std::endian::native == std::endian::big) {
        if (n > 0 && to != from) std::memmove(to, from, 4 * size_t(n));
    } else {
        int p = 0;
        for (; p + 4 <= n; p += 4) {
            Four u;
            std::memcpy(&u, in + 4 * size_t(p), sizeof u);
            u = swap_file_order32(u);
            std::memcpy(out + 4 * size_t(p), &u, sizeof u);
        }
        for (; p < n; p++) {
            uint32_t u;
            std::memcpy(&u, in + 4 * size_t(p), 4);
            u = swap_file_order32(u);
            std::memcpy(out + 4 * size_t(p), &u, 4);
        }
    }
}

// The same swap one word at a time, into host words at `to` (which may be
// `from`): for code compiled for an instruction set with a byte shuffle (SSSE3
// and later: the pass's AVX2 and AVX-512 kernels), where the compiler makes the
// loop shuffles of whole vectors; elsewhere it is a bswap a word.
inline void swap_words32_shuffled(uint32_t *to, const void *from, int n)
{
    if constexpr (std::endian::native == std::endian::big) {
        if (n > 0 && static_cast<const void *>(to) != from) std::memmove(to, from, 4 * size_t(n));
    } else {
        const auto *in = static_cast<const unsigned char *>(from);
        for (int p = 0; p < n; p++) {
            uint32_t u;
            std::memcpy(&u, in + 4 * size_t(p), 4);
            to[p] = __builtin_bswap32(u);
        }
    }
}

// The 4 bytes at p, big-endian, as a host word.
inline uint32_t load_be32(const void *p)
{
    uint32_t u;
    std::memcpy(&u, p, 4);
    return swap_file_order32(u);
}

// Stores the host word u big-endian in the 4 bytes at p.
inline void store_be32(void *p, uint32_t u)
{
    u = swap_file_order32(u);
    std::memcpy(p, &u, 4);
}

// Element p of an array of big-endian 4-byte elements, as a host word.
inline uint32_t be32_at(const void *data, int64_t p)
{
    return load_be32(static_cast<const unsigned char *>(data) + 4 * size_t(p));
}

namespace big_endian_detail {

// The unsigned word of N bytes.
template <size_t N>
struct Word;
template <>
struct Word<1> {
    typedef uint8_t type;
};
template <>
struct Word<2> {
    typedef uint16_t type;
};
template <>
struct Word<4> {
    typedef uint32_t type;
};
template <>
struct Word<8> {
    typedef uint64_t type;
};

// u between file and host order.
template <typename U>
inline U file_order(U u)
{
    if constexpr (std::endian::native == std::endian::big || sizeof(U) == 1)
        return u;
    else if constexpr (sizeof(U) == 2)
        return __builtin_bswap16(u);
    else if constexpr (sizeof(U) == 4)
        return swap_file_order32(u);
    else
        return __builtin_bswap64(u);
}

} // namespace big_endian_detail

// The big-endian element at p as a host value of T (an integer or floating type
// of 1, 2, 4 or 8 bytes), bit for bit.
template <typename T>
inline T load_be(const void *p)
{
    typedef typename big_endian_detail::Word<sizeof(T)>::type U;
    U u;
    std::memcpy(&u, p, sizeof u);
    return std::bit_cast<T>(big_endian_detail::file_order(u));
}

// Stores v big-endian at p, bit for bit.
template <typename T>
inline void store_be(void *p, T v)
{
    typedef typename big_endian_detail::Word<sizeof(T)>::type U;
    const U u = big_endian_detail::file_order(std::bit_cast<U>(v));
    std::memcpy(p, &u, sizeof u);
}

#endif
