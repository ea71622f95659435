// What a header read in place (from a mapping or a shared-memory segment) may hold
// through its END, shared by the mapping walk and the tool's unit checks.  Keywords,
// value indicators and values are printable ASCII; commentary text may hold any
// byte, a TAB say, as the stream reader takes it: columns 9-80 of COMMENT, HISTORY
// and blank-keyword cards, columns 10-80 of other cards whose column 9 holds no "=".
// A header that lost its END runs on into its data, whose bytes then fall into
// keywords and value indicators too: the walk does not take it.
#ifndef TOLV_HEADER_TEXT_H
#define TOLV_HEADER_TEXT_H

#include "card_columns.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace header_text {

constexpr int64_t kCard = 80;

inline bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

// The first column of a card (its first `width` bytes) that may hold any byte, or
// width when none may.
inline int64_t free_text_from(const unsigned char *card, int64_t width)
{
    constexpr int64_t kIndicator = int64_t(card_columns::kIndicator);
    if (width <= kIndicator) return width;
    const std::string_view key(reinterpret_cast<const char *>(card), 8);
    if (key == "COMMENT " || key == "HISTORY " || key == "        ") return kIndicator;
    const unsigned char indicator = card[kIndicator];
    return printable(indicator) && indicator != '=' ? kIndicator + 1 : width;
}

// Offset of the first byte of the text p[0..n) that a header may not hold, or -1.
// A last card may be cut short.
inline int64_t first_foreign_byte(const unsigned char *p, int64_t n)
{
    for (int64_t at = 0; at < n; at += kCard) {
        const int64_t width = n - at < kCard ? n - at : kCard;
        const int64_t strict = free_text_from(p + at, width);
        for (int64_t i = 0; i < strict; i++)
            if (!printable(p[at + i])) return at + i;
    }
    return -1;
}

} // namespace header_text

#endif // TOLV_HEADER_TEXT_H
