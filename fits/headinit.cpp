// Making and releasing header records: a header over a buffer of cards (viewed in
// place up to END, or adopted as owned storage), a new empty header, and the release
// by reference count of the record, its index, its card storage and its primary.
#include "card_store.h"
#include "keyword_card.h"
#include "fits.h"

#include <sys/mman.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdlib>

namespace {

using namespace card_store;

// A record with every field zero, owned storage kind and one reference; `extra`
// bytes after the record hold the cards of a header that has no other storage.
FITSHead new_record(std::size_t extra)
{
    auto *fits = static_cast<FITSHead>(std::calloc(1, sizeof(struct _FITSHead) + extra));
    if (!fits) return nullptr;
    fits->mem = FT_MEM_OWNED;
    fits->rfcount = 1;
    return fits;
}

// Whole cards in |bytes| bytes, at most what a header can count.
int cards_in(int64_t bytes)
{
    const uint64_t magnitude = bytes < 0 ? uint64_t(-(bytes + 1)) + 1 : uint64_t(bytes);
    const uint64_t cards = magnitude / kCardBytes;
    return cards > uint64_t(kMaxCards) ? kMaxCards : int(cards);
}

void only_end(FITSHead fits)
{
    ft_cardkey(fits->cards, "END", 0);
    fits->ncard = 1;
}

// A new header of acard blank owned cards (one block when bytes gives none), END first.
FITSHead empty_header(int64_t bytes)
{
    int64_t acard = bytes > 0 ? bytes / kCardBytes : 0;
    if (acard == 0) acard = kBlockCards;
    const std::size_t size = owned_bytes(acard);
    if (size == 0) return nullptr;
    FITSHead fits = new_record(0);
    auto *cards = static_cast<FITSCard>(std::malloc(size));
    if (!fits || !cards) {
        std::free(fits);
        std::free(cards);
        return nullptr;
    }
    fits->cards = cards;
    fits->acard = int(acard);
    blank_tail(cards, 0, fits->acard);
    fits->data = int64_t(acard) * kCardBytes;
    only_end(fits);
    return fits;
}

// Position of the END card among ncards cards (the exact keyword, else its near
// card), or -1.
int find_end(FITSCard cards, int ncards)
{
    struct _FITSHead probe {};
    probe.cards = cards;
    probe.ncard = ncards;
    KeywordCard key("END", 0);
    const FITSCard end = ft_cardfindseq(&probe, key.get(), nullptr);
    return end ? int(end - cards) : -1;
}

// The caller's cards viewed in place up to END.  The capacity counts the whole
// blocks up to END but never the cards past the buffer's end, so no insertion writes
// and no copy reads outside it.  Without END, the header holds only an END card of its
// own, in a block stored with the record, and the buffer is left untouched.
FITSHead view_in_place(FITSCard cards, int ncards)
{
    const int end = find_end(cards, ncards);
    if (end < 0) {
        FITSHead fits = new_record(owned_bytes(kBlockCards));
        if (!fits) return nullptr;
        fits->cards = reinterpret_cast<FITSCard>(fits + 1);
        fits->acard = kBlockCards;
        blank_tail(fits->cards, 0, kBlockCards);
        only_end(fits);
        fits->data = kBlockBytes;
        fits->mem = FT_MEM_BUFFER;
        return fits;
    }
    FITSHead fits = new_record(0);
    if (!fits) return nullptr;
    const int blocks = end / kBlockCards + 1;
    fits->cards = cards;
    fits->ncard = end + 1;
    fits->acard = blocks * kBlockCards < ncards ? blocks * kBlockCards : ncards;
    fits->data = int64_t(blocks) * kBlockBytes;
    fits->mem = FT_MEM_BUFFER;
    return fits;
}

// A buffer adopted as owned storage; the caller sets the counts it knows.
FITSHead adopt(FITSCard cards, int ncards)
{
    FITSHead fits = new_record(0);
    if (!fits) return nullptr;
    fits->cards = cards;
    fits->ncard = fits->acard = ncards;
    return fits;
}

void release_storage(FITSHead fits, int freecards)
{
    switch (fits->mem) {
    case FT_MEM_OWNED:
        if (freecards) std::free(fits->cards);
        break;
    case FT_MEM_MMAP:
        if (fits->mmap_here && fits->mmap_size > 0 && uint64_t(fits->mmap_size) <= SIZE_MAX)
            munmap(fits->mmap_here, std::size_t(fits->mmap_size));
        break;
    case FT_MEM_SHM:
        if (fits->mmap_here) shmdt(fits->mmap_here);
        break;
    default:  // a caller's buffer, or cards stored with the record
        break;
    }
}

} // namespace

extern "C" {

FITSHead ft_headinit(void *data, int64_t bytes)
{
    auto *cards = static_cast<FITSCard>(data);
    FITSHead fits = !cards ? empty_header(bytes)
                    : bytes > 0 ? view_in_place(cards, cards_in(bytes))
                                : adopt(cards, cards_in(bytes));
    if (!fits) return nullptr;
    fits->last = fits->cards;
    // Only cards viewed up to a real END are interpreted.
    if (cards && bytes > 0 && fits->cards == cards) ft_syncdata(fits);
    return fits;
}

void ft_headfree(FITSHead fits, int freecards)
{
    if (!fits || --fits->rfcount != 0) return;
    drop_index(fits);
    // The interpreted descriptions (basic, image, table) are released here once the
    // interpreters that make them are linked in; until then none is ever made.
    release_storage(fits, freecards);
    FITSHead primary = fits->primary;
    std::free(fits);
    ft_headfree(primary, 1);
}

} // extern "C"
