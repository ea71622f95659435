#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

const std::vector<std::string> kCards = {
    "NAXIS   =                    2 / number of axes", "NAXIS2  =                 4096",
    "DETSEC  = '[1:2048,1:4096]'",                      "BSCALE  =                  2.5",
    "SIMPLE  =                    T",                   "EXTEND  =                    1",
    "GAIN    =                 1.5D2",                  "OBJECT  = 'first'",
    "OBJECT  = 'second'"};

std::string taken(char *text)
{
    std::string s = text ? text : "(none)";
    std::free(text);
    return s;
}

} // namespace

TEST(headget, typed_reads_of_present_keywords)
{
    Head fits = owned_head(kCards);
    FITSCard card = nullptr;
    EXPECT_EQ(ft_headgeti(fits.get(), "NAXIS", 2, 7, &card), 4096);
    EXPECT_EQ(card, fits->cards + 1);
    EXPECT_EQ(ft_headgeti(fits.get(), "NAXIS", 0, 7, nullptr), 2);
    EXPECT_EQ(ft_headgetr(fits.get(), "BSCALE", 0, 1.0, &card), 2.5);
    EXPECT_EQ(ft_headgetl(fits.get(), "SIMPLE", 0, 0, &card), 1);
    EXPECT_EQ(card, fits->cards + 4);
    EXPECT_EQ(taken(ft_headgets(fits.get(), "DETSEC", 0, "None", &card)), "[1:2048,1:4096]");
    EXPECT_EQ(card, fits->cards + 2);
}

TEST(headget, the_card_type_is_not_checked)
{
    Head fits = owned_head(kCards);
    EXPECT_EQ(ft_headgeti(fits.get(), "BSCALE", 0, 0, nullptr), 2);
    EXPECT_EQ(ft_headgetl(fits.get(), "EXTEND", 0, 1, nullptr), 0);  // "1" is not T
    EXPECT_EQ(ft_headgetr(fits.get(), "GAIN", 0, 0.0, nullptr), 1.5);  // no D exponent
    EXPECT_EQ(taken(ft_headgets(fits.get(), "NAXIS", 0, nullptr, nullptr)), "2 ");
    EXPECT_EQ(taken(ft_headgets(fits.get(), "OBJECT", 0, nullptr, nullptr)), "first");
}

TEST(headget, missing_keywords_give_the_default_and_no_card)
{
    Head fits = owned_head(kCards);
    FITSCard card = fits->cards;
    EXPECT_EQ(ft_headgetr(fits.get(), "BZERO", 0, 1.0, &card), 1.0);
    EXPECT_EQ(card, nullptr);
    card = fits->cards;
    EXPECT_EQ(ft_headgeti(fits.get(), "NAXIS", 3, -1, &card), -1);  // a near card is not a match
    EXPECT_EQ(card, nullptr);
    EXPECT_EQ(ft_headgetl(fits.get(), "INHERIT", 0, 1, nullptr), 1);
    EXPECT_EQ(taken(ft_headgets(fits.get(), "EXTNAME", 0, "None", nullptr)), "None");
    EXPECT_EQ(taken(ft_headgets(fits.get(), "EXTNAME", 0, nullptr, nullptr)), "(none)");
    EXPECT_EQ(ft_headgeti(nullptr, "NAXIS", 0, 9, &card), 9);
}

TEST(headget, headget_gives_the_static_text)
{
    Head fits = owned_head(kCards);
    FITSCard card = fits->cards;
    EXPECT_EQ(std::string(ft_headget(fits.get(), "DETSEC", 0, &card)), "[1:2048,1:4096]");
    EXPECT_EQ(card, fits->cards + 2);
    EXPECT_EQ(std::string(ft_headget(fits.get(), "DETSIZE", 0, &card)), "");
    EXPECT_EQ(card, nullptr);
    EXPECT_EQ(std::string(ft_headget(fits.get(), "DETSEC", 0, nullptr)), "[1:2048,1:4096]");
}
