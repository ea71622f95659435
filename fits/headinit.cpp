// The life of a header record: made over a buffer of cards (viewed in place up to
// END, or adopted as owned storage) or empty, copied, linked to its primary header,
// released by reference count and storage kind, turned into a primary header, merged.
#include "card_store.h"
#include "keyword_card.h"
#include "fits.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// cards rounded up to whole 36-card blocks, at least one block.
int64_t whole_blocks(int64_t cards)
{
    if (cards <= 0) return kBlockCards;
    return (cards + kBlockCards - 1) / kBlockCards * kBlockCards;
}

// acard blank owned cards with their terminator, or null.
FITSCard new_cards(int64_t acard)
{
    const std::size_t size = owned_bytes(acard);
    auto *cards = static_cast<FITSCard>(size ? std::malloc(size) : nullptr);
    if (cards) blank_tail(cards, 0, int(acard));
    return cards;
}

// A new header of bytes/80 blank owned cards rounded up to whole blocks (one block
// when bytes gives none), END first.  Whole blocks, because a header is written as
// whole blocks from its card storage.
FITSHead empty_header(int64_t bytes)
{
    const int64_t acard = whole_blocks(bytes > 0 ? bytes / kCardBytes : 0);
    FITSHead fits = new_record(0);
    FITSCard cards = fits ? new_cards(acard) : nullptr;
    if (!cards) {
        std::free(fits);
        return nullptr;
    }
    fits->cards = cards;
    fits->acard = int(acard);
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
        ft_munmap(fits);
        break;
    case FT_MEM_SHM:
        ft_shmdt(fits);
        break;
    default:  // a caller's buffer, or cards stored with the record
        break;
    }
}

// Releases what one record owns, all but its reference to its primary.
void release(FITSHead fits, int freecards)
{
    drop_index(fits);
    ft_basicfree(fits->basic);
    ft_imagefree(fits->image);
    ft_tablefree(fits->table);
    release_storage(fits, freecards);
    std::free(fits);
}

bool has_keyword(const FITSBuff *card, const char *key, std::size_t columns)
{
    return std::memcmp(card->c, key, columns) == 0;
}

// HISTORY, COMMENT and CONTINUE cards add to a header rather than replace.
bool accumulates(const FITSBuff *card)
{
    return has_keyword(card, "HISTORY ", 8) || has_keyword(card, "COMMENT ", 8) || has_keyword(card, "CONTINUE ", 9);
}

// One card of another header merged into `into`: a new keyword goes after its family
// (before END without one), an accumulating one is appended, and an existing one is
// overwritten only when copy is set.
void merge_card(FITSHead into, FITSCard card, int copy)
{
    int match = 0;
    const FITSCard found = ft_cardfindseq(into, card, &match);
    if (!found || (match && accumulates(found))) {
        ft_cardapp(into, card);
    } else if (!match) {
        ft_cardins(into, card, found);
    } else if (copy) {
        ft_cardcpy(found, card);
    }
}

// Keywords of an extension that a primary header does not carry.
constexpr const char *kExtensionOnly[] = {"EXTVER", "GCOUNT", "PCOUNT", "EXTEND", "NEXTEND", "INHERIT"};

// The first card becomes SIMPLE = T, keeping its comment.  A header holding only END
// gets its SIMPLE card before END, so that END stays last.
void make_simple(FITSHead fits)
{
    const int yes = 1;
    if (fits->ncard >= 2) {
        ft_cardfmt(fits->cards, "SIMPLE", 0, FT_LOGICAL, &yes, 0, FT_Comment);
        return;
    }
    KeywordCard simple("SIMPLE", 0, FT_LOGICAL, &yes);
    ft_cardapp(fits, simple.get());
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

FITSHead ft_headcopy(FITSHead fits)
{
    if (!fits) return ft_headinit(nullptr, 0);
    const int64_t source_cards = fits->cards && fits->acard > 0 ? fits->acard : 0;
    // Whole blocks, so the copy can be written as blocks from its own storage.
    const int64_t acard = whole_blocks(source_cards);
    FITSHead copy = new_record(0);
    FITSCard cards = copy ? new_cards(acard) : nullptr;
    if (!cards) {
        std::free(copy);
        return nullptr;
    }
    *copy = *fits;
    std::memcpy(cards, fits->cards, std::size_t(source_cards) * kCardBytes);
    copy->cards = copy->last = cards;
    copy->acard = int(acard);
    copy->index = nullptr;
    copy->basic = nullptr;
    copy->image = nullptr;
    copy->table = nullptr;
    copy->mmap_here = nullptr;
    copy->mmap_size = 0;
    copy->mem = FT_MEM_OWNED;
    copy->rfcount = 1;
    copy->primary = nullptr;
    ft_primlink(fits->primary, copy);  // the copy holds a reference of its own
    ft_syncdata(copy);
    if (!fits->index) drop_index(copy);
    return copy;
}

void ft_headfree(FITSHead fits, int freecards)
{
    // Up the chain of primaries by a loop: each release drops one reference.
    while (fits && --fits->rfcount == 0) {
        FITSHead primary = fits->primary;
        release(fits, freecards);
        fits = primary;
        freecards = 1;
    }
}

void ft_primlink(FITSHead prim, FITSHead fits)
{
    if (!prim || !fits || prim == fits) return;
    FITSHead replaced = fits->primary;
    prim->rfcount++;
    fits->primary = prim;
    ft_headfree(replaced, 1);  // the reference the old link held
}

void ft_setcards(FITSHead fits, void *cards)
{
    if (fits) fits->cards = static_cast<FITSCard>(cards);
}

FITSHead ft_primary(FITSHead fits)
{
    FITSHead prim = ft_headcopy(fits);
    if (!prim) return nullptr;
    make_simple(prim);
    for (const char *name : kExtensionOnly) ft_headdel(prim, name, 0);
    ft_syncdata(prim);  // the descriptions now say what the edited cards say
    return prim;
}

FITSHead ft_headmerge(FITSHead fits1, FITSHead fits2, int copy)
{
    FITSHead result = ft_headcopy(fits1);
    if (!result) return nullptr;
    if (fits2 && fits2->cards) {
        // Every card but the last (END); a leading SIMPLE or XTENSION card stays out.
        for (int i = 0; i < fits2->ncard - 1; i++) {
            const FITSCard card = fits2->cards + i;
            if (i == 0 && (has_keyword(card, "SIMPLE  ", 8) || has_keyword(card, "XTENSION", 8))) continue;
            merge_card(result, card, copy);
        }
    }
    ft_syncdata(result);
    return result;
}

} // extern "C"
