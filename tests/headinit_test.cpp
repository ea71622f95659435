#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cerrno>

#include <cstdlib>
#include <cstring>

namespace {

// n cards, KEYn = n, with END at position end (none when end < 0), in a buffer of size cards.
std::vector<FITSBuff> cards_with_end(int size, int end)
{
    std::vector<FITSBuff> cards(std::size_t(size), card_of(""));
    for (int i = 0; i < size; i++)
        if (i < end || end < 0) cards[std::size_t(i)] = card_of("KEY" + std::to_string(i) + "  =   1");
    if (end >= 0) cards[std::size_t(end)] = card_of("END");
    return cards;
}

} // namespace

TEST(headinit, new_empty_header)
{
    Head fits(ft_headinit(nullptr, 0));
    EXPECT_EQ(fits->acard, 36);
    EXPECT_EQ(fits->ncard, 1);
    EXPECT_EQ(fits->data, 2880);
    EXPECT_EQ(fits->mem, FT_MEM_OWNED);
    EXPECT_EQ(fits->rfcount, 1);
    EXPECT_EQ(fits->primary, nullptr);
    EXPECT_EQ(fits->basic, nullptr);
    EXPECT_EQ(fits->index, nullptr);
    EXPECT_EQ(fits->last, fits->cards);
    EXPECT_EQ(card_text(fits->cards), padded("END"));
    for (int i = 1; i < 36; i++) EXPECT_EQ(card_text(fits->cards + i), blanks(80));
    EXPECT_EQ(reinterpret_cast<const char *>(fits->cards)[2880], '\0');
    Head larger(ft_headinit(nullptr, 5760));
    EXPECT_EQ(larger->acard, 72);
    EXPECT_EQ(larger->data, 5760);
}

TEST(headinit, view_in_place_counts_whole_blocks_to_end)
{
    std::vector<FITSBuff> cards = cards_with_end(72, 39);
    Head fits(ft_headinit(cards.data(), 5760));
    EXPECT_EQ(fits->ncard, 40);
    EXPECT_EQ(fits->acard, 72);
    EXPECT_EQ(fits->data, 5760);
    EXPECT_EQ(fits->mem, FT_MEM_BUFFER);
    EXPECT_EQ(fits->cards, cards.data());
    std::vector<FITSBuff> one = cards_with_end(72, 35);
    Head first(ft_headinit(one.data(), 5760));
    EXPECT_EQ(first->ncard, 36);
    EXPECT_EQ(first->acard, 36);
    EXPECT_EQ(first->data, 2880);
}

TEST(headinit, view_never_counts_cards_past_the_buffer)
{
    // The buffer ends 10 cards into the block that holds END.
    std::vector<FITSBuff> cards = cards_with_end(46, 39);
    Head fits(ft_headinit(cards.data(), 46 * 80 + 79));
    EXPECT_EQ(fits->ncard, 40);
    EXPECT_EQ(fits->acard, 46);
    EXPECT_EQ(fits->data, 5760);
    for (int i = 0; i < 6; i++) EXPECT_EQ(ft_headappi(fits.get(), "NEW", i, i, nullptr) != nullptr, true);
    EXPECT_EQ(ft_headappi(fits.get(), "NEW", 9, 9, nullptr), nullptr);
    EXPECT_EQ(fits->ncard, 46);
}

TEST(headinit, view_without_end_leaves_the_buffer_alone)
{
    std::vector<FITSBuff> cards = cards_with_end(36, -1);
    const std::vector<FITSBuff> before = cards;
    Head fits(ft_headinit(cards.data(), 2880));
    EXPECT_EQ(fits->ncard, 1);
    EXPECT_EQ(card_text(fits->cards), padded("END"));
    EXPECT_EQ(fits->basic, nullptr);
    EXPECT_EQ(ft_headgeti(fits.get(), "KEY1", 0, -1, nullptr), -1);
    EXPECT_EQ(ft_headappi(fits.get(), "NEW", 0, 1, nullptr) != nullptr, true);
    EXPECT_EQ(fits->ncard, 2);
    EXPECT_EQ(std::memcmp(cards.data(), before.data(), cards.size() * 80), 0);
    // Less than one card: no END either.
    Head tiny(ft_headinit(cards.data(), 79));
    EXPECT_EQ(tiny->ncard, 1);
    EXPECT_EQ(card_text(tiny->cards), padded("END"));
}

TEST(headinit, adopted_buffer_is_owned_and_not_searched)
{
    auto *store = static_cast<char *>(std::malloc(2881));
    std::memset(store, ' ', 2880);
    store[2880] = '\0';
    Head fits(ft_headinit(store, -2880));
    EXPECT_EQ(fits->ncard, 36);
    EXPECT_EQ(fits->acard, 36);
    EXPECT_EQ(fits->mem, FT_MEM_OWNED);
    EXPECT_EQ(static_cast<void *>(fits->cards), static_cast<void *>(store));
}  // freeing the header frees the adopted store

TEST(headinit, free_counts_references_and_releases_the_primary)
{
    FITSHead primary = ft_headinit(nullptr, 0);
    FITSHead ext = ft_headinit(nullptr, 0);
    ext->primary = primary;  // a counted link, as the unit selector makes it
    primary->rfcount++;
    ext->rfcount = 2;
    ft_headindex(ext);
    ft_headfree(ext, 1);
    EXPECT_EQ(ext->rfcount, 1);
    EXPECT_EQ(primary->rfcount, 2);
    ft_headfree(ext, 1);  // releases ext and its reference to the primary
    EXPECT_EQ(primary->rfcount, 1);
    ft_headfree(primary, 1);
    ft_headfree(nullptr, 1);
}

TEST(headinit, free_without_freecards_leaves_owned_cards)
{
    FITSHead fits = ft_headinit(nullptr, 0);
    FITSCard cards = fits->cards;
    ft_headfree(fits, 0);
    EXPECT_EQ(card_text(cards), padded("END"));  // still the caller's to use
    std::free(cards);
}

TEST(headinit, free_removes_the_mapping_of_mapped_cards)
{
    void *map = mmap(nullptr, 2880, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    std::vector<FITSBuff> cards = block_cards({"SIMPLE  =                    T"});
    std::memcpy(map, cards.data(), 2880);
    FITSHead fits = ft_headinit(map, 2880);
    fits->mem = FT_MEM_MMAP;
    fits->mmap_here = static_cast<char *>(map);
    fits->mmap_size = 2880;
    EXPECT_EQ(ft_headgetl(fits, "SIMPLE", 0, 0, nullptr), 1);
    EXPECT_EQ(msync(map, 2880, MS_ASYNC), 0);
    ft_headfree(fits, 0);
    EXPECT_EQ(msync(map, 2880, MS_ASYNC), -1);  // no longer mapped
    EXPECT_EQ(errno, ENOMEM);
}
