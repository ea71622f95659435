// The fuzzers' way of taking parameters from the input bytes: a cursor that hands
// out small integers and texts, with fixed values once the bytes run out.
#ifndef TOLV_FUZZ_INPUT_H
#define TOLV_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

struct FuzzInput {
    const uint8_t *p;
    std::size_t left;

    uint8_t byte() { return left ? (left--, *p++) : 0; }
    int32_t int32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v = v << 8 | byte();
        return int32_t(v);
    }
    double real()
    {
        uint64_t v = 0;
        for (int i = 0; i < 8; i++) v = v << 8 | byte();
        double d;
        std::memcpy(&d, &v, sizeof d);
        return d;
    }
    // Up to max bytes, each made a printable ASCII character.
    std::string printable(std::size_t max)
    {
        std::string s;
        const std::size_t n = byte() % (max + 1);
        for (std::size_t i = 0; i < n && left; i++) s += char(' ' + byte() % 95);
        return s;
    }
};

// A heap copy of exactly n bytes (at least one allocated), so that the address
// sanitizer catches a read one byte past the input.
inline unsigned char *exact_copy(const uint8_t *data, std::size_t n)
{
    auto *copy = static_cast<unsigned char *>(std::malloc(n ? n : 1));
    if (n) std::memcpy(copy, data, n);
    return copy;
}

#endif
