// Finding a card by its keyword: in order through the cards, by binary search over a
// sorted index, or within one 2880-byte block.  A miss reports the near card, the last
// card of the keyword's family (NAXIS2 for a missing NAXIS3).
#include "card_columns.h"
#include "card_store.h"
#include "fits.h"

#include <algorithm>
#include <bit>
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
    uint64_t v;
    std::memcpy(&v, card->c, kKeyword);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
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

// The index is one allocation: the ncard card pointers, then for each entry its
// keyword order taken once (columns 1-8 as a number, and the number from column 6),
// so that a search reads a small contiguous array rather than a card per step.
struct IndexEntryKey {
    uint64_t value;
    int number;    // the number from column 6, 0 when column 6 is blank
};

std::size_t keys_offset(int ncard)
{
    const std::size_t pointers = sizeof(FITSCard) * std::size_t(ncard);
    return (pointers + alignof(IndexEntryKey) - 1) / alignof(IndexEntryKey) * alignof(IndexEntryKey);
}

const IndexEntryKey *index_keys(FITSHead fits)
{
    return reinterpret_cast<const IndexEntryKey *>(reinterpret_cast<const char *>(fits->index) +
                                                   keys_offset(fits->ncard));
}

// After the keys, a hash of columns 1-8 to index positions (-1: empty), at least
// twice as many slots as entries, for lookups of keywords that are present.
int hash_bits(int ncard)
{
    int bits = 1;
    while ((std::size_t(1) << bits) < 2 * std::size_t(ncard)) bits++;
    return bits;
}

std::size_t slots_offset(int ncard) { return keys_offset(ncard) + std::size_t(ncard) * sizeof(IndexEntryKey); }

std::size_t index_bytes(int ncard) { return slots_offset(ncard) + (std::size_t(1) << hash_bits(ncard)) * sizeof(int32_t); }

int32_t *index_slots(FITSCard *index, int ncard)
{
    return reinterpret_cast<int32_t *>(reinterpret_cast<char *>(index) + slots_offset(ncard));
}

std::size_t slot_of(uint64_t value, int bits) { return std::size_t((value * 0x9E3779B97F4A7C15u) >> (64 - bits)); }

// The index position of an entry whose columns 1-8 are `value`, or -1.
int hashed_position(FITSHead fits, uint64_t value)
{
    const int bits = hash_bits(fits->ncard);
    const std::size_t mask = (std::size_t(1) << bits) - 1;
    const int32_t *slots = index_slots(fits->index, fits->ncard);
    const IndexEntryKey *keys = index_keys(fits);
    for (std::size_t s = slot_of(value, bits);; s = (s + 1) & mask) {
        const int32_t pos = slots[s];
        if (pos < 0 || keys[pos].value == value) return pos;
    }
}

// The search of the index's cached keys: cut runs exactly as in the search over
// the cards, with the keyword order specialised for the key once.  Returns the
// position where it ended and whether that entry compared equal.
template <bool Numbered>
int search_keys(const OrderKey &key, const IndexEntryKey *keys, int ncard, bool *equal)
{
    int lo = -1, hi = ncard, cut = ncard / 2;
    while (hi - lo > 1) {
        const IndexEntryKey &e = keys[cut];
        int order;
        if (Numbered && ((key.value ^ e.value) >> 24) == 0 && (e.value >> 16 & 0xff) != ' ' && e.number != 0)
            order = (key.number > e.number) - (key.number < e.number);
        else
            order = (key.value > e.value) - (key.value < e.value);
        if (order == 0) {
            *equal = true;
            return cut;
        }
        // Chosen without a branch: the direction of each step is unpredictable.
        const bool left = order < 0;
        hi = left ? cut : hi;
        lo = left ? lo : cut;
        cut = (hi + lo) / 2;
    }
    *equal = false;
    return cut;
}

// Binary search over the index as the keyword order directs; `cached` reads the
// entries' keys from the index, otherwise from the cards.
FITSCard binary_search(FITSHead fits, FITSCard key, int *match, bool cached)
{
    set(match, 0);
    const OrderKey order_key(key);
    int cut;
    bool equal = false;
    if (cached && order_key.plain) {
        // A keyword that is present, byte for byte, is found by its hash: the
        // entry compares equal to the key (same columns 1-8 and number).
        const int pos = hashed_position(fits, order_key.value);
        if (pos >= 0) {
            const FITSBuff *card = fits->index[pos];
            const IndexEntryKey &e = index_keys(fits)[pos];
            if (keyword_value(card) == e.value && e.number == order_key.number &&
                (card->c[kIndex] == ' ' || card_number(card) == e.number)) {
                set(match, 1);
                return fits->index[pos];
            }
        }
        // A numbered key with number 0 orders by its bytes, as an unnumbered one.
        cut = order_key.numbered && order_key.number != 0
                  ? search_keys<true>(order_key, index_keys(fits), fits->ncard, &equal)
                  : search_keys<false>(order_key, index_keys(fits), fits->ncard, &equal);
        // A card edited in place since the index was built no longer says what
        // its cached key says: then the cards themselves decide.
        const FITSBuff *card = fits->index[cut];
        const IndexEntryKey &e = index_keys(fits)[cut];
        if (equal && (keyword_value(card) != e.value || (card->c[kIndex] != ' ' && card_number(card) != e.number)))
            return binary_search(fits, key, match, false);
    } else {
        int lo = -1, hi = fits->ncard;
        cut = fits->ncard / 2;
        while (hi - lo > 1) {
            const int order = order_key.compare(fits->index[cut]);
            if (order == 0) {
                equal = true;
                break;
            }
            if (order < 0)
                hi = cut;
            else
                lo = cut;
            cut = (hi + lo) / 2;
        }
    }
    if (equal) {
        set(match, 1);
        return fits->index[cut];
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
    const std::size_t n = std::size_t(fits->ncard);
    const std::size_t per_entry = sizeof(FITSCard) + sizeof(IndexEntryKey) + 4 * sizeof(int32_t) + 8;
    if (!fits->cards || fits->ncard <= 0 || n > SIZE_MAX / per_entry || n > INT32_MAX / 4) return;
    auto *index = static_cast<FITSCard *>(std::malloc(index_bytes(fits->ncard)));
    if (!index) return;
    for (int i = 0; i < fits->ncard; i++) index[i] = fits->cards + i;
    std::qsort(index, n, sizeof(FITSCard), ft_compare);
    fits->index = index;
    auto *keys = reinterpret_cast<IndexEntryKey *>(reinterpret_cast<char *>(index) + keys_offset(fits->ncard));
    for (std::size_t i = 0; i < n; i++) {
        keys[i].value = keyword_value(index[i]);
        keys[i].number = index[i]->c[kIndex] != ' ' ? card_number(index[i]) : 0;
    }
    const int bits = hash_bits(fits->ncard);
    const std::size_t mask = (std::size_t(1) << bits) - 1;
    int32_t *slots = index_slots(index, fits->ncard);
    std::fill(slots, slots + mask + 1, -1);
    // The first of equal keywords in index order takes the slot.
    for (std::size_t i = 0; i < n; i++) {
        std::size_t s = slot_of(keys[i].value, bits);
        while (slots[s] >= 0 && keys[slots[s]].value != keys[i].value) s = (s + 1) & mask;
        if (slots[s] < 0) slots[s] = int32_t(i);
    }
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
    return binary_search(fits, key, match, true);
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
