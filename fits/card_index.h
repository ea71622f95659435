// What the card index (cardfind.cpp) needs of the other modules: the keyword order a
// card sorts by, and the notice the card writers give when they change it, so that
// an index over a renamed card is rebuilt before its next search.
#ifndef TOLV_CARD_INDEX_H
#define TOLV_CARD_INDEX_H

#include "card_columns.h"
#include "fits.h"

#include <bit>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>

namespace card_index {

constexpr std::size_t kKeyword = 8;  // columns 1-8

// The number from column 6 read as atoi reads it, but never past column 80 and
// clamped to the range of int instead of overflowing.
inline int number_from_column6(const FITSBuff *card)
{
    using card_columns::kIndex;
    using card_columns::kWidth;
    std::size_t i = kIndex;
    while (i < kWidth && std::isspace(static_cast<unsigned char>(card->c[i]))) i++;
    const bool negative = i < kWidth && card->c[i] == '-';
    if (i < kWidth && (card->c[i] == '-' || card->c[i] == '+')) i++;
    int64_t v = 0;
    for (; i < kWidth && std::isdigit(static_cast<unsigned char>(card->c[i])); i++) {
        v = v * 10 + (card->c[i] - '0');
        if (v > int64_t(INT_MAX) + 1) v = int64_t(INT_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    return int(v);
}

// The number from column 6 on a hot path: a digit in column 6 means no blanks or
// sign to skip, so the digits are read here; anything else goes the general way.
inline int card_number(const FITSBuff *card)
{
    using card_columns::kIndex;
    const unsigned first = static_cast<unsigned char>(card->c[kIndex]) - '0';
    if (first > 9) return number_from_column6(card);
    int64_t v = first;
    for (std::size_t i = kIndex + 1; i < card_columns::kWidth; i++) {
        const unsigned d = static_cast<unsigned char>(card->c[i]) - '0';
        if (d > 9) break;
        v = v * 10 + d;
        if (v > INT_MAX) return INT_MAX;
    }
    return int(v);
}

// Columns 1-8 as one number whose order is their order as unsigned bytes; columns
// 1-5 are its upper five bytes.
inline uint64_t keyword_value(const FITSBuff *card)
{
    uint64_t v;
    std::memcpy(&v, card->c, kKeyword);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// What the keyword order reads of a card: columns 1-8, and the number from column 6
// when column 6 is not blank (0 otherwise).
struct SortKey {
    uint64_t value;
    int number;
    bool operator==(const SortKey &) const = default;
};

inline SortKey sort_key(const FITSBuff *card)
{
    return {keyword_value(card), card->c[card_columns::kIndex] != ' ' ? card_number(card) : 0};
}

// The sort key of one of the ncards cards from `first` on has changed (a rename in
// place): an index over any of them checks itself against its cards before its
// next search.
void renamed(const FITSBuff *first, int ncards);

} // namespace card_index

#endif // TOLV_CARD_INDEX_H
