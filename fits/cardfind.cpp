// Finding a card by its keyword: in order through the cards, by binary search over a
// sorted index, or within one 2880-byte block.  A miss reports the near card, the last
// card of the keyword's family (NAXIS2 for a missing NAXIS3).
#include "card_columns.h"
#include "card_store.h"
#include "fits.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using card_columns::kIndex;
using card_columns::kWidth;
constexpr std::size_t kKeyword = 8;  // columns 1-8
constexpr std::size_t kFamily = 5;   // columns 1-5 name a family of indexed keywords

bool same_keyword(const FITSBuff *a, const FITSBuff *b) { return std::memcmp(a->c, b->c, kKeyword) == 0; }

bool same_family(const FITSBuff *a, const FITSBuff *b) { return std::memcmp(a->c, b->c, kFamily) == 0; }

// A relative of key: same columns 1-5, and each of columns 6-8 a digit or a blank.
bool is_near(const FITSBuff *card, const FITSBuff *key)
{
    if (!same_family(card, key)) return false;
    for (std::size_t i = kFamily; i < kKeyword; i++) {
        const char ch = card->c[i];
        if (ch != ' ' && !std::isdigit(static_cast<unsigned char>(ch))) return false;
    }
    return true;
}

// The number from column 6 read as atoi reads it, but never past column 80 and
// clamped to the range of int instead of overflowing.
int number_from_column6(const FITSBuff *card)
{
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
int card_number(const FITSBuff *card)
{
    const unsigned first = static_cast<unsigned char>(card->c[kIndex]) - '0';
    if (first > 9) return number_from_column6(card);
    int64_t v = first;
    for (std::size_t i = kIndex + 1; i < kWidth; i++) {
        const unsigned d = static_cast<unsigned char>(card->c[i]) - '0';
        if (d > 9) break;
        v = v * 10 + d;
        if (v > INT_MAX) return INT_MAX;
    }
    return int(v);
}

// Columns 1-8 as one number whose order is their order as unsigned bytes; columns
// 1-5 are its upper five bytes.
uint64_t keyword_value(const FITSBuff *card)
{
    uint64_t v = 0;
    for (std::size_t i = 0; i < kKeyword; i++) v = v << 8 | static_cast<unsigned char>(card->c[i]);
    return v;
}

bool has_zero_byte(uint64_t v) { return ((v - 0x0101010101010101u) & ~v & 0x8080808080808080u) != 0; }

// A card on the left of the keyword order, with what the order needs of it taken
// once: a search compares one key with many cards.
struct OrderKey {
    const FITSBuff *card;
    uint64_t value;
    bool plain;     // no NUL in columns 1-8: strncmp stops only where the columns differ
    bool numbered;  // column 6 is not blank
    int number;     // the number from column 6 when numbered

    explicit OrderKey(const FITSBuff *a)
        : card(a), value(keyword_value(a)), plain(!has_zero_byte(value)), numbered(a->c[kIndex] != ' '),
          number(numbered ? card_number(a) : 0)
    {
    }

    // The keyword order of the key against b: the number from column 6 within a
    // family when both have one, else strncmp of columns 1-8.
    int compare(const FITSBuff *b) const
    {
        const uint64_t vb = keyword_value(b);
        if (numbered && ((value ^ vb) >> 24) == 0 && b->c[kIndex] != ' ') {
            const int nb = card_number(b);
            if (number != 0 && nb != 0) return (number > nb) - (number < nb);
        }
        if (!plain) return std::strncmp(card->c, b->c, kKeyword);
        return (value > vb) - (value < vb);
    }
};

int compare_cards(const FITSBuff *a, const FITSBuff *b) { return OrderKey(a).compare(b); }

void set(int *where, int value)
{
    if (where) *where = value;
}

// The walk shared by the header and block searches: the first exact match, else the
// last near card.  *hist counts cards whose columns 1-7 read HISTORY, when given.
FITSCard walk(FITSCard cards, int ncards, FITSCard key, int *match, int *hist)
{
    set(match, 0);
    FITSCard near = nullptr;
    for (int i = 0; i < ncards; i++) {
        FITSCard card = cards + i;
        if (same_keyword(card, key)) {
            set(match, 1);
            return card;
        }
        if (is_near(card, key)) near = card;
        if (hist && std::memcmp(card->c, "HISTORY", 7) == 0) ++*hist;
    }
    return near;
}

FITSCard binary_search(FITSHead fits, FITSCard key, int *match)
{
    set(match, 0);
    int lo = -1;
    int hi = fits->ncard;
    int cut = fits->ncard / 2;
    const OrderKey order_key(key);
    while (hi - lo > 1) {
        const int order = order_key.compare(fits->index[cut]);
        if (order == 0) {
            set(match, 1);
            return fits->index[cut];
        }
        if (order < 0)
            hi = cut;
        else
            lo = cut;
        cut = (hi + lo) / 2;
    }
    FITSCard ended = fits->index[cut];
    return same_family(ended, key) ? ended : nullptr;
}

bool searchable(FITSHead fits, FITSCard key) { return fits && key && fits->cards && fits->ncard > 0; }

} // namespace

extern "C" {

int ft_compare(const void *a, const void *b)
{
    return compare_cards(*static_cast<const FITSCard *>(a), *static_cast<const FITSCard *>(b));
}

void ft_headindex(FITSHead fits)
{
    if (!fits) return;
    card_store::drop_index(fits);
    if (!fits->cards || fits->ncard <= 0 || std::size_t(fits->ncard) > SIZE_MAX / sizeof(FITSCard)) return;
    auto *index = static_cast<FITSCard *>(std::malloc(sizeof(FITSCard) * std::size_t(fits->ncard)));
    if (!index) return;
    for (int i = 0; i < fits->ncard; i++) index[i] = fits->cards + i;
    std::qsort(index, std::size_t(fits->ncard), sizeof(FITSCard), ft_compare);
    fits->index = index;
}

FITSCard ft_cardfindseq(FITSHead fits, FITSCard key, int *match)
{
    if (!searchable(fits, key)) return nullptr;
    return walk(fits->cards, fits->ncard, key, match, nullptr);
}

FITSCard ft_cardfindidx(FITSHead fits, FITSCard key, int *match)
{
    if (!searchable(fits, key)) return nullptr;
    if (!fits->index) ft_headindex(fits);
    // Without memory for an index the sequential search still answers.
    if (!fits->index) return ft_cardfindseq(fits, key, match);
    return binary_search(fits, key, match);
}

FITSCard ft_cardfind(FITSHead fits, FITSCard key, int add)
{
    if (!searchable(fits, key)) return nullptr;
    int match = 0;
    FITSCard found = fits->index ? ft_cardfindidx(fits, key, &match) : ft_cardfindseq(fits, key, &match);
    if (match) return found;
    if (!add) return nullptr;
    return ft_cardins(fits, key, found);
}

FITSCard ft_cardfindblok(FITSCard cards, FITSCard key, int *match, int *nhist)
{
    if (!cards || !key) return nullptr;
    int hist = 0;
    set(nhist, 0);
    FITSCard found = walk(cards, card_store::kBlockCards, key, match, &hist);
    set(nhist, hist);
    return found;
}

} // extern "C"
