// Inserting and deleting cards in a header: END stays the last card in use, the cards
// beyond it stay blank, and owned storage grows by whole 36-card blocks.
#include "card_store.h"
#include "fits.h"

#include <cstdlib>
#include <cstring>

namespace {

using namespace card_store;

// One more block of owned storage; false, with the header untouched, when the count
// or the allocation does not fit.
bool grow(FITSHead fits)
{
    if (fits->mem != FT_MEM_OWNED || fits->acard > kMaxCards - kBlockCards) return false;
    const int acard = fits->acard + kBlockCards;
    const std::size_t bytes = owned_bytes(acard);
    if (bytes == 0) return false;
    void *cards = std::realloc(fits->cards, bytes);
    if (!cards) return false;
    fits->cards = static_cast<FITSCard>(cards);
    blank_tail(fits->cards, fits->acard, acard);
    fits->acard = acard;
    fits->data = int64_t(acard) * kCardBytes;
    return true;
}

// Move cards [from, ncard) one place down; the caller has made room for it.
void open_gap(FITSHead fits, int from)
{
    std::memmove(fits->cards + from + 1, fits->cards + from, std::size_t(fits->ncard - from) * sizeof(FITSBuff));
}

} // namespace

extern "C" {

FITSCard ft_cardins(FITSHead fits, FITSCard card, FITSCard here)
{
    if (!fits || !fits->cards || !card || fits->ncard < 0 || fits->ncard > fits->acard) return nullptr;
    // Position of the card the new one follows; -1: it becomes the first.  A card
    // after END would be lost to every reader, so END as `here` means just before it.
    int after = fits->ncard - 2;
    if (here) {
        const int at = position_of(fits, here);
        if (at < 0) return nullptr;  // not a card of this header in use
        if (at < fits->ncard - 1) after = at;
    }
    // Copied first: card may be a card of this very header, which growth can move.
    const FITSBuff fresh = *card;
    drop_index(fits);
    if (fits->ncard + 1 > fits->acard && !grow(fits)) return nullptr;
    const int at = after < 0 ? 0 : after + 1;
    open_gap(fits, at);
    fits->cards[at] = fresh;
    fits->ncard++;
    return fits->cards + at;
}

FITSCard ft_cardapp(FITSHead fits, FITSCard card) { return ft_cardins(fits, card, nullptr); }

FITSCard ft_carddel(FITSHead fits, FITSCard card)
{
    if (!fits || !card) return nullptr;
    const int at = position_of(fits, card);
    // The last card in use is END: a header always keeps it.
    if (at < 0 || at == fits->ncard - 1) return nullptr;
    drop_index(fits);
    std::memmove(fits->cards + at, fits->cards + at + 1, std::size_t(fits->ncard - 1 - at) * sizeof(FITSBuff));
    ft_cardclr(fits->cards + fits->ncard - 1, 1);
    fits->ncard--;
    return card;
}

} // extern "C"
