// Finding a card by its keyword: in order through the cards, by binary search over a
// sorted index, or within one 2880-byte block.  A miss reports the near card, the last
// card of the keyword's family (NAXIS2 for a missing NAXIS3).
#include "card_columns.h"
#include "card_index.h"
#include "card_store.h"
#include "fits.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using card_columns::kIndex;
using card_index::card_number;
using card_index::keyword_value;
using card_index::kKeyword;
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

// Renames in place, counted per 64 KiB region of memory (regions 64 MiB apart share
// a count): an index over cards of some region sees its counts grow.  Counts only
// grow, so the sum over an index's regions changes with every rename among them.
constexpr int kRegionBits = 16;
constexpr std::size_t kRegions = 1024;
std::atomic<uint64_t> renames[kRegions];

// The regions holding the bytes [first, past), each once.
template <typename Visit>
void for_regions(const FITSBuff *first, const FITSBuff *past, Visit visit)
{
    const uintptr_t lo = reinterpret_cast<uintptr_t>(first) >> kRegionBits;
    const uintptr_t hi = (reinterpret_cast<uintptr_t>(past) - 1) >> kRegionBits;
    const uintptr_t count = hi - lo + 1 < kRegions ? hi - lo + 1 : kRegions;
    for (uintptr_t r = 0; r < count; r++) visit(renames[(lo + r) % kRegions]);
}

uint64_t renames_over(const FITSBuff *first, const FITSBuff *past)
{
    uint64_t sum = 0;
    for_regions(first, past, [&](const std::atomic<uint64_t> &n) { sum += n.load(std::memory_order_relaxed); });
    return sum;
}

// The index of a header: its cards sorted in the keyword order, each entry's sort
// key taken once (so that a search reads a small contiguous array rather than a card
// per step), and a hash of columns 1-8 to entry positions for keywords that are
// present.  One malloc'ed block holds the three arrays and then this record; the
// header's public index field points at the block's start, the sorted cards.
struct CardIndex {
    FITSCard *cards;               // ncard card pointers in the keyword order
    card_index::SortKey *keys;     // keys[i]: the sort key of cards[i] when last checked
    int32_t *slots;                // 2^bits entry positions, -1 for an empty slot
    int ncard;
    int bits;
    const FITSBuff *first, *past;  // the header's cards in use when it was built
    std::atomic<uint64_t> checked; // renames_over(first, past) when last checked
};

// At least twice as many hash slots as entries.
int hash_bits(int ncard)
{
    int bits = 1;
    while ((std::size_t(1) << bits) < 2 * std::size_t(ncard)) bits++;
    return bits;
}

std::size_t aligned(std::size_t bytes, std::size_t alignment) { return (bytes + alignment - 1) / alignment * alignment; }

// Where the arrays and the record of an index of ncard entries lie in its block.
struct IndexLayout {
    std::size_t keys, slots, record, total;
    explicit IndexLayout(int ncard)
    {
        const std::size_t n = std::size_t(ncard);
        keys = aligned(n * sizeof(FITSCard), alignof(card_index::SortKey));
        slots = aligned(keys + n * sizeof(card_index::SortKey), alignof(int32_t));
        record = aligned(slots + (std::size_t(1) << hash_bits(ncard)) * sizeof(int32_t), alignof(CardIndex));
        total = record + sizeof(CardIndex);
    }
};

// The record of the header's index, which it has and which was built over its
// ncard cards (every edit that changes the count drops the index).
CardIndex &record_of(FITSHead fits)
{
    return *reinterpret_cast<CardIndex *>(reinterpret_cast<char *>(fits->index) + IndexLayout(fits->ncard).record);
}

std::size_t slot_of(uint64_t value, int bits) { return std::size_t((value * 0x9E3779B97F4A7C15u) >> (64 - bits)); }

// A new index over the header's cards in use, or null when memory fails or the
// header has too many cards for one.
CardIndex *build_index(FITSHead fits)
{
    const std::size_t n = std::size_t(fits->ncard);
    const std::size_t per_entry = sizeof(FITSCard) + sizeof(card_index::SortKey) + 4 * sizeof(int32_t) + 8;
    if (!fits->cards || fits->ncard <= 0 || n > SIZE_MAX / per_entry || n > INT32_MAX / 4) return nullptr;
    const IndexLayout layout(fits->ncard);
    char *block = static_cast<char *>(std::malloc(layout.total));
    if (!block) return nullptr;
    auto *index = new (block + layout.record) CardIndex{};
    index->cards = reinterpret_cast<FITSCard *>(block);
    index->keys = reinterpret_cast<card_index::SortKey *>(block + layout.keys);
    index->slots = reinterpret_cast<int32_t *>(block + layout.slots);
    index->ncard = fits->ncard;
    index->bits = hash_bits(fits->ncard);
    index->first = fits->cards;
    index->past = fits->cards + fits->ncard;
    index->checked = renames_over(index->first, index->past);
    for (std::size_t i = 0; i < n; i++) index->cards[i] = fits->cards + i;
    std::qsort(index->cards, n, sizeof(FITSCard), ft_compare);
    for (std::size_t i = 0; i < n; i++) index->keys[i] = card_index::sort_key(index->cards[i]);
    const std::size_t mask = (std::size_t(1) << index->bits) - 1;
    std::fill(index->slots, index->slots + mask + 1, -1);
    // The first of equal keywords in index order takes the slot.
    for (std::size_t i = 0; i < n; i++) {
        const uint64_t value = index->keys[i].value;
        std::size_t s = slot_of(value, index->bits);
        while (index->slots[s] >= 0 && index->keys[index->slots[s]].value != value) s = (s + 1) & mask;
        if (index->slots[s] < 0) index->slots[s] = int32_t(i);
    }
    return index;
}

// True when every entry still says what its card says, after a rename in place
// somewhere in the index's regions (most often a card elsewhere there, such as a
// key card, that no entry holds).
bool entries_hold(const CardIndex &index)
{
    for (int i = 0; i < index.ncard; i++)
        if (!(card_index::sort_key(index.cards[i]) == index.keys[i])) return false;
    return true;
}

// False when a card of the index was renamed in place since it was last checked.
bool index_current(CardIndex &index)
{
    const uint64_t now = renames_over(index.first, index.past);
    if (now == index.checked.load(std::memory_order_relaxed)) return true;
    if (!entries_hold(index)) return false;
    index.checked.store(now, std::memory_order_relaxed);
    return true;
}

// The entry position of a keyword whose columns 1-8 are `value`, or -1.
int hashed_position(const CardIndex &index, uint64_t value)
{
    const std::size_t mask = (std::size_t(1) << index.bits) - 1;
    for (std::size_t s = slot_of(value, index.bits);; s = (s + 1) & mask) {
        const int32_t pos = index.slots[s];
        if (pos < 0 || index.keys[pos].value == value) return pos;
    }
}

// The search of the index's cached keys: cut runs exactly as in the search over
// the cards, with the keyword order specialised for the key once.  Returns the
// position where it ended and whether that entry compared equal.
template <bool Numbered>
int search_keys(const OrderKey &key, const CardIndex &index, bool *equal)
{
    const card_index::SortKey *keys = index.keys;
    int lo = -1, hi = index.ncard, cut = index.ncard / 2;
    while (hi - lo > 1) {
        const card_index::SortKey &e = keys[cut];
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

// The search over the cards themselves, for a key with a NUL in columns 1-8, which
// strncmp orders.  Returns the position where it ended and whether that card
// compared equal.
int search_cards(const OrderKey &key, const CardIndex &index, bool *equal)
{
    int lo = -1, hi = index.ncard, cut = index.ncard / 2;
    while (hi - lo > 1) {
        const int order = key.compare(index.cards[cut]);
        if (order == 0) {
            *equal = true;
            return cut;
        }
        if (order < 0)
            hi = cut;
        else
            lo = cut;
        cut = (hi + lo) / 2;
    }
    *equal = false;
    return cut;
}

// The entry at pos still says what its card says: false when the card was changed
// in place without a card writer, by bytes written into it directly.
bool entry_holds(const CardIndex &index, int pos)
{
    return card_index::sort_key(index.cards[pos]) == index.keys[pos];
}

// Binary search of the index as the keyword order directs.  False when the entry
// the search ends on no longer matches its card; the index must then be rebuilt.
bool binary_search(const CardIndex &index, FITSCard key, int *match, FITSCard *found)
{
    set(match, 0);
    const OrderKey order_key(key);
    int cut;
    bool equal = false;
    if (order_key.plain) {
        // A keyword that is present, byte for byte, is found by its hash: the
        // entry compares equal to the key (same columns 1-8 and number).
        const int pos = hashed_position(index, order_key.value);
        if (pos >= 0 && index.keys[pos].number == order_key.number) {
            if (!entry_holds(index, pos)) return false;
            set(match, 1);
            *found = index.cards[pos];
            return true;
        }
        // A numbered key with number 0 orders by its bytes, as an unnumbered one.
        cut = order_key.numbered && order_key.number != 0 ? search_keys<true>(order_key, index, &equal)
                                                          : search_keys<false>(order_key, index, &equal);
    } else {
        cut = search_cards(order_key, index, &equal);
    }
    if (!entry_holds(index, cut)) return false;
    FITSCard ended = index.cards[cut];
    if (equal) {
        set(match, 1);
        *found = ended;
    } else {
        *found = same_family(ended, key) ? ended : nullptr;
    }
    return true;
}

bool searchable(FITSHead fits, FITSCard key) { return fits && key && fits->cards && fits->ncard > 0; }

} // namespace

namespace card_index {

void renamed(const FITSBuff *first, int ncards)
{
    if (!first || ncards <= 0) return;
    for_regions(first, first + ncards, [](std::atomic<uint64_t> &n) { n.fetch_add(1, std::memory_order_relaxed); });
}

} // namespace card_index

namespace card_store {

void drop_index(FITSHead fits)
{
    std::free(fits->index);  // the record lies in the block, and holds nothing to release
    fits->index = nullptr;
}

} // namespace card_store

extern "C" {

int ft_compare(const void *a, const void *b)
{
    // Null cards sort after every card, and equal to each other.
    const FITSBuff *ca = a ? *static_cast<const FITSCard *>(a) : nullptr;
    const FITSBuff *cb = b ? *static_cast<const FITSCard *>(b) : nullptr;
    if (!ca || !cb) return (ca == nullptr) - (cb == nullptr);
    return compare_cards(ca, cb);
}

void ft_headindex(FITSHead fits)
{
    if (!fits) return;
    card_store::drop_index(fits);
    if (CardIndex *index = build_index(fits)) fits->index = index->cards;
}

FITSCard ft_cardfindseq(FITSHead fits, FITSCard key, int *match)
{
    if (!searchable(fits, key)) return nullptr;
    return walk(fits->cards, fits->ncard, key, match, nullptr);
}

FITSCard ft_cardfindidx(FITSHead fits, FITSCard key, int *match)
{
    if (!searchable(fits, key)) return nullptr;
    // Built when missing, rebuilt when a card it holds was renamed since, or when
    // the search meets an entry whose card no longer says what it said (bytes
    // written into the card directly).
    if (fits->index && !index_current(record_of(fits))) card_store::drop_index(fits);
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!fits->index) ft_headindex(fits);
        // Without memory for an index the sequential search still answers.
        if (!fits->index) break;
        FITSCard found = nullptr;
        if (binary_search(record_of(fits), key, match, &found)) return found;
        card_store::drop_index(fits);
    }
    return ft_cardfindseq(fits, key, match);
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
