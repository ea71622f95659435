#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::string> kImage = {"SIMPLE  =                    T", "BITPIX  =                   16",
                                         "NAXIS   =                    3", "NAXIS1  =                 2048",
                                         "NAXIS2  =                 4096 / rows", "EXTEND  =                    T"};

// 35 cards and END: the first block is full.
std::vector<std::string> full_block()
{
    std::vector<std::string> texts;
    // Appended, not "KEY" + string: g++ 12 warns wrongly (-Wrestrict) on that for s390x.
    for (int i = 1; i <= 35; i++) texts.push_back(std::string("KEY").append(std::to_string(i)).append("    =   1"));
    return texts;
}

} // namespace

TEST(headset, existing_keyword_is_rewritten_in_place)
{
    Head fits = owned_head(kImage);
    FITSCard card = ft_headseti(fits.get(), "NAXIS", 2, 100, nullptr, 0);
    EXPECT_EQ(card, fits->cards + 4);
    EXPECT_EQ(card_text(card), padded("NAXIS2  =                  100"));  // the old comment is gone
    EXPECT_EQ(fits->ncard, 7);
    card = ft_headseti(fits.get(), "NAXIS", 1, 512, FT_Comment, 0);
    EXPECT_EQ(card_text(card), padded("NAXIS1  =                  512"));
    card = ft_headsetr(fits.get(), "NAXIS", 2, 1.5, 3, "new rows", 0);
    EXPECT_EQ(card_text(card), padded("NAXIS2  =                1.500 / new rows"));
    card = ft_headseti(fits.get(), "NAXIS", 2, 7, FT_Comment, 0);
    EXPECT_EQ(card_text(card), padded("NAXIS2  =                    7 / new rows"));
    card = ft_headsetl(fits.get(), "EXTEND", 0, 0, "no", 0);
    EXPECT_EQ(card_text(card), padded("EXTEND  =                    F / no"));
    card = ft_headsets(fits.get(), "BITPIX", 0, "IMAGE", nullptr, 0);
    EXPECT_EQ(card_text(card), padded("BITPIX  = 'IMAGE" + blanks(13) + "'"));
}

TEST(headset, missing_keyword_joins_its_family)
{
    for (const bool indexed : {false, true}) {
        Head fits = owned_head(kImage);
        if (indexed) ft_headindex(fits.get());
        FITSCard card = ft_headseti(fits.get(), "NAXIS", 3, 3, "planes", 0);
        EXPECT_EQ(position(fits.get(), card), 5);
        EXPECT_EQ(card_text(card), padded("NAXIS3  =                    3 / planes"));
        card = ft_headsets(fits.get(), "OBJECT", 0, "M31", nullptr, 0);
        EXPECT_EQ(position(fits.get(), card), 7);
        EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2",
                                                                  "NAXIS3", "EXTEND", "OBJECT", "END"}));
    }
}

TEST(headset, indexed_family_card_is_where_the_search_ended)
{
    // In keyword order NAXIS10 sorts after NAXIS2, so the binary search for NAXIS11
    // ends on NAXIS10 wherever it lies in the header.
    Head fits = owned_head({"NAXIS10 =    1", "OTHER   =    1", "NAXIS2  =    1"});
    ft_headindex(fits.get());
    EXPECT_EQ(position(fits.get(), ft_headseti(fits.get(), "NAXIS", 11, 5, nullptr, 0)), 1);
    Head plain = owned_head({"NAXIS10 =    1", "OTHER   =    1", "NAXIS2  =    1"});
    EXPECT_EQ(position(plain.get(), ft_headseti(plain.get(), "NAXIS", 11, 5, nullptr, 0)), 3);
}

TEST(headset, full_header_not_owned_refuses_even_with_append)
{
    std::vector<FITSBuff> cards = block_cards(full_block());
    const std::vector<FITSBuff> before = cards;
    Head fits = viewed_head(cards);
    EXPECT_EQ(ft_headseti(fits.get(), "NEW", 0, 1, nullptr, 1), nullptr);
    EXPECT_EQ(ft_headsets(fits.get(), "NEW", 0, "x", nullptr, 1), nullptr);
    EXPECT_EQ(fits->ncard, 36);
    EXPECT_EQ(std::memcmp(cards.data(), before.data(), cards.size() * 80), 0);
    // An existing keyword is still rewritten: no card is added.
    EXPECT_EQ(card_text(ft_headseti(fits.get(), "KEY1", 0, 9, nullptr, 0)), padded("KEY1    =                    9"));
}

TEST(headset, null_header_gives_none)
{
    EXPECT_EQ(ft_headsetl(nullptr, "SIMPLE", 0, 1, nullptr, 1), nullptr);
    EXPECT_EQ(ft_headsetr(nullptr, "BSCALE", 0, 1.0, 2, nullptr, 1), nullptr);
}
