// A header's card store: cards come in 2880-byte blocks of 36, and owned storage
// carries one terminator after its last card so the whole area reads as one text.
#ifndef TOLV_CARD_STORE_H
#define TOLV_CARD_STORE_H

#include "block_layout.h"
#include "fits.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace card_store {

using block_layout::kBlockBytes;
using block_layout::kBlockCards;
using block_layout::kCardBytes;
// The most cards a header can count: whole blocks that still fit an int.
constexpr int kMaxCards = INT_MAX / kBlockCards * kBlockCards;

// Bytes of owned storage for acard cards, terminator included; 0 when that does not
// fit the address space (a 32-bit host) or acard is out of range.
inline std::size_t owned_bytes(int64_t acard)
{
    if (acard < 0 || acard > kMaxCards) return 0;
    const uint64_t bytes = uint64_t(acard) * kCardBytes + 1;
    return bytes > SIZE_MAX ? 0 : std::size_t(bytes);
}

// Owned storage only: blank cards from `from` on and the terminator after the last
// of acard cards.  The cards may be new memory that no index holds.
inline void blank_tail(FITSCard cards, int from, int acard)
{
    if (acard > from) std::memset(cards + from, ' ', std::size_t(acard - from) * kCardBytes);
    reinterpret_cast<char *>(cards)[std::size_t(acard) * kCardBytes] = '\0';
}

// Release the header's index (cardfind.cpp), if it has one.  The index is rebuilt
// wholesale, so every edit that moves cards simply drops it.
void drop_index(FITSHead fits);

// Position of card among the header's cards in use, or -1 when it is not one of them
// (another header's card, a caller's temporary, a pointer into the middle of a card).
inline int position_of(const FITSHead fits, const FITSBuff *card)
{
    const auto first = reinterpret_cast<uintptr_t>(fits->cards);
    const auto at = reinterpret_cast<uintptr_t>(card);
    if (!card || !fits->cards || fits->ncard <= 0 || at < first) return -1;
    const uintptr_t offset = at - first;
    if (offset % kCardBytes != 0 || offset / kCardBytes >= uintptr_t(fits->ncard)) return -1;
    return int(offset / kCardBytes);
}

} // namespace card_store

#endif // TOLV_CARD_STORE_H
