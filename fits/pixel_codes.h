// Pixel type codes: BITPIX values, with 4096 added for the unsigned 8-, 16-, 32-
// and 64-bit variants, and the element types and sizes they name.
#ifndef TOLV_PIXEL_CODES_H
#define TOLV_PIXEL_CODES_H

namespace fits_pixel {

// Converter element letters, in the order of the rows and columns of the
// dispatch table: c s i l r d t u v w k x.
enum Letter { C = 0, S, I, L, R, D, T, U, V, W, K, X, LETTERS };

struct CodeLetter { int code; int letter; };

// Pixel type code -> element letter.  No code names c, l or w.
inline constexpr CodeLetter code_letters[] = {
    {8, T}, {16, S}, {32, I}, {64, K}, {-32, R}, {-64, D},
    {4104, T}, {4112, U}, {4128, V}, {4160, X},
};

// Dispatch index of a pixel type code, or -1 for a code that names no element type.
constexpr int code_letter(int code)
{
    for (const CodeLetter &c : code_letters)
        if (c.code == code) return c.letter;
    return -1;
}

// BITPIX values a data unit may carry and the converters can read or write.
constexpr bool is_file_bitpix(int bitpix)
{
    return bitpix == 8 || bitpix == 16 || bitpix == 32 || bitpix == 64 || bitpix == -32 || bitpix == -64;
}

// Element size in bytes of a code: |code| with the 4096 flag cleared, over 8.
constexpr int code_size(int code)
{
    const long long magnitude = code < 0 ? -(long long)code : code;
    return int((magnitude & ~4096LL) / 8);
}

} // namespace fits_pixel

#endif
