#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

int compare(const FITSBuff &a, const FITSBuff &b)
{
    const FITSBuff *pa = &a;
    const FITSBuff *pb = &b;
    const int order = ft_compare(&pa, &pb);
    return (order > 0) - (order < 0);
}

FITSBuff key(const char *name, int n = 0)
{
    FITSBuff card = card_of("");
    ft_cardkey(&card, name, n);
    return card;
}

const std::vector<std::string> kImage = {"SIMPLE  =                    T", "BITPIX  =                   16",
                                         "NAXIS   =                    2", "NAXIS1  =                 2048",
                                         "NAXIS2  =                 4096", "EXTEND  =                    T"};

struct Found {
    std::string card;
    int match;
};

Found seq(FITSHead fits, const char *name, int n = 0)
{
    int match = -1;
    FITSCard card = ft_headfindseq(fits, name, n, &match);
    return {card_text(card), match};
}

Found idx(FITSHead fits, const char *name, int n = 0)
{
    int match = -1;
    FITSCard card = ft_headfindidx(fits, name, n, &match);
    return {card_text(card), match};
}

} // namespace

TEST(cardfind, compare_orders_index_numbers_as_numbers)
{
    const std::vector<FITSBuff> order = {key("NAXIS"), key("NAXIS", 1), key("NAXIS", 2), key("NAXIS", 10),
                                         card_of("NAXISA")};
    for (std::size_t i = 0; i + 1 < order.size(); i++) {
        EXPECT_EQ(compare(order[i], order[i + 1]), -1);
        EXPECT_EQ(compare(order[i + 1], order[i]), 1);
    }
    EXPECT_EQ(compare(card_of("TTYPE08"), key("TTYPE", 8)), 0);
    EXPECT_EQ(compare(card_of("CRPIX1A"), key("CRPIX", 1)), 0);
    EXPECT_EQ(compare(card_of("NAXIS0"), key("NAXIS")), 1);  // number 0: the 8 columns decide
    EXPECT_EQ(compare(card_of("DATE-OBS"), key("DATE")), 1);
    EXPECT_EQ(compare(card_of("\xe9XTRA"), card_of("EXTRA")), 1);  // unsigned bytes
}

TEST(cardfind, compare_reads_the_number_only_within_the_card)
{
    // Column 6 on is white space through column 80; the next card starts with a digit.
    FITSBuff cards[2] = {card_of("NAXIS" + std::string(75, '\t')), card_of("2")};
    EXPECT_EQ(compare(cards[0], key("NAXIS", 2)), -1);  // by bytes: tab < '2'
    FITSBuff huge[2] = {card_of("NAXIS" + std::string(75, '9')), card_of("9")};
    EXPECT_EQ(compare(huge[0], key("NAXIS", 1)), 1);
}

TEST(cardfind, compare_stops_at_nul_and_clamps_numbers_as_atoi_reads_them)
{
    // strncmp ends at a NUL both keywords share, whatever follows it.
    EXPECT_EQ(compare(card_of(std::string("AB\0CDEFG", 8)), card_of(std::string("AB\0XYZWV", 8))), 0);
    EXPECT_EQ(compare(card_of(std::string("AB\0CDEFG", 8)), card_of("ABC")), -1);
    EXPECT_EQ(compare(card_of("ABC"), card_of(std::string("AB\0CDEFG", 8))), 1);
    // Numbers past the range of int are all the largest int; signs and blanks count.
    EXPECT_EQ(compare(card_of("TTYPE99999999999"), card_of("TTYPE2147483647")), 0);
    EXPECT_EQ(compare(card_of("TTYPE2147483646"), card_of("TTYPE99999999999")), -1);
    EXPECT_EQ(compare(card_of("TTYPE+12"), key("TTYPE", 12)), 0);
    EXPECT_EQ(compare(card_of("TTYPE\t7"), key("TTYPE", 7)), 0);
    EXPECT_EQ(compare(card_of("TTYPE-3"), key("TTYPE", 2)), -1);
}

TEST(cardfind, index_sorts_every_card_once)
{
    Head fits = owned_head({"NAXIS2  =    1", "HISTORY b", "NAXIS   =    2", "HISTORY a", "NAXIS1  =    1"});
    ft_headindex(fits.get());
    ASSERT_NE(fits->index, nullptr);
    std::vector<std::string> sorted;
    for (int i = 0; i < fits->ncard; i++) sorted.push_back(std::string(fits->index[i]->c, 6));
    std::sort(sorted.begin() + 1, sorted.begin() + 3);  // the two HISTORY cards may come in either order
    EXPECT_EQ(sorted, (std::vector<std::string>{"END   ", "HISTOR", "HISTOR", "NAXIS ", "NAXIS1", "NAXIS2"}));
    std::vector<FITSCard> cards(fits->index, fits->index + fits->ncard);
    std::sort(cards.begin(), cards.end());
    for (int i = 0; i < fits->ncard; i++) EXPECT_EQ(cards[std::size_t(i)], fits->cards + i);
}

TEST(cardfind, sequential_search_reports_the_last_relative_as_near)
{
    std::vector<FITSBuff> cards = block_cards(kImage);
    Head fits = viewed_head(cards);
    EXPECT_EQ(seq(fits.get(), "NAXIS", 3).card, padded(kImage[4]));
    EXPECT_EQ(seq(fits.get(), "NAXIS", 3).match, 0);
    EXPECT_EQ(seq(fits.get(), "NAXIS").card, padded(kImage[2]));
    EXPECT_EQ(seq(fits.get(), "NAXIS").match, 1);
    EXPECT_EQ(seq(fits.get(), "OBJECT").card, "(none)");
    EXPECT_EQ(seq(fits.get(), "OBJECT").match, 0);
    EXPECT_EQ(fits->index, nullptr);
}

TEST(cardfind, sequential_near_card_needs_digits_or_blanks_after_column_5)
{
    std::vector<FITSBuff> cards =
        block_cards({"DATE-OBS= '2004-01-01'", "CRPIX1A =   1.0", "TTYPE08 = 'FLUX'", "HISTORY one", "HISTORY two"});
    Head fits = viewed_head(cards);
    EXPECT_EQ(seq(fits.get(), "DATE").card, "(none)");
    EXPECT_EQ(seq(fits.get(), "CRPIX", 1).card, "(none)");
    EXPECT_EQ(seq(fits.get(), "TTYPE", 8).card, padded("TTYPE08 = 'FLUX'"));
    EXPECT_EQ(seq(fits.get(), "TTYPE", 8).match, 0);
    EXPECT_EQ(seq(fits.get(), "HISTORY").card, padded("HISTORY one"));
    EXPECT_EQ(seq(fits.get(), "HISTORY").match, 1);
}

TEST(cardfind, indexed_search_matches_by_number_and_ends_on_the_family)
{
    std::vector<FITSBuff> cards = block_cards(kImage);
    Head fits = viewed_head(cards);
    EXPECT_EQ(idx(fits.get(), "NAXIS", 3).card, padded(kImage[4]));
    EXPECT_EQ(idx(fits.get(), "NAXIS", 3).match, 0);
    ASSERT_NE(fits->index, nullptr);  // built by the first search
    EXPECT_EQ(idx(fits.get(), "NAXIS0").card, padded(kImage[2]));
    EXPECT_EQ(idx(fits.get(), "NAXIS0").match, 0);
    EXPECT_EQ(idx(fits.get(), "OBJECT").card, "(none)");
    EXPECT_EQ(idx(fits.get(), "NAXIS").card, padded(kImage[2]));
    EXPECT_EQ(idx(fits.get(), "NAXIS").match, 1);
    EXPECT_EQ(idx(fits.get(), "END").match, 1);
    EXPECT_EQ(idx(fits.get(), "AAAAAAAA").card, "(none)");  // before the first card
    EXPECT_EQ(idx(fits.get(), "ZZZZZZZZ").card, "(none)");  // after the last
}

TEST(cardfind, indexed_search_differs_where_numbers_are_equal)
{
    std::vector<FITSBuff> cards =
        block_cards({"CRPIX1A =   1.0", "TTYPE08 = 'FLUX'", "HISTORY one", "HISTORY two", "HISTORY three"});
    Head fits = viewed_head(cards);
    EXPECT_EQ(idx(fits.get(), "CRPIX", 1).card, padded("CRPIX1A =   1.0"));
    EXPECT_EQ(idx(fits.get(), "CRPIX", 1).match, 1);
    EXPECT_EQ(idx(fits.get(), "TTYPE", 8).card, padded("TTYPE08 = 'FLUX'"));
    EXPECT_EQ(idx(fits.get(), "TTYPE", 8).match, 1);
    EXPECT_EQ(idx(fits.get(), "HISTORY").card.substr(0, 8), "HISTORY ");
    EXPECT_EQ(idx(fits.get(), "HISTORY").match, 1);
}

TEST(cardfind, cardfind_without_add_returns_only_matches)
{
    std::vector<FITSBuff> cards = block_cards(kImage);
    Head fits = viewed_head(cards);
    FITSBuff naxis3 = key("NAXIS", 3);
    FITSBuff bitpix = key("BITPIX");
    EXPECT_EQ(ft_cardfind(fits.get(), &naxis3, 0), nullptr);
    EXPECT_EQ(ft_cardfind(fits.get(), &bitpix, 0), fits->cards + 1);
    EXPECT_EQ(fits->index, nullptr);  // a header without an index is searched in order
    ft_headindex(fits.get());
    EXPECT_EQ(ft_cardfind(fits.get(), &naxis3, 0), nullptr);
    EXPECT_EQ(ft_cardfind(fits.get(), &bitpix, 0), fits->cards + 1);
}

TEST(cardfind, cardfind_with_add_inserts_the_key_after_its_family)
{
    for (const bool indexed : {false, true}) {
        Head fits = owned_head(kImage);
        if (indexed) ft_headindex(fits.get());
        FITSBuff naxis3 = key("NAXIS", 3);
        FITSCard added = ft_cardfind(fits.get(), &naxis3, 1);
        EXPECT_EQ(position(fits.get(), added), 5);
        EXPECT_EQ(card_text(added), padded("NAXIS3"));
        EXPECT_EQ(fits->ncard, 8);
        EXPECT_EQ(fits->index, nullptr);
        FITSBuff object = key("OBJECT");
        EXPECT_EQ(position(fits.get(), ft_cardfind(fits.get(), &object, 1)), 7);
        EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2",
                                                                  "NAXIS3", "EXTEND", "OBJECT", "END"}));
    }
}

TEST(cardfind, cardfind_with_add_into_a_full_viewed_header_gives_none)
{
    std::vector<std::string> texts;
    // Appended, not "KEY" + string: g++ 12 warns wrongly (-Wrestrict) on that for s390x.
    for (int i = 1; i <= 35; i++) texts.push_back(std::string("KEY").append(std::to_string(i)).append("    =   1"));
    std::vector<FITSBuff> cards = block_cards(texts);
    const std::vector<FITSBuff> before = cards;
    Head fits = viewed_head(cards);
    FITSBuff object = key("OBJECT");
    EXPECT_EQ(ft_cardfind(fits.get(), &object, 1), nullptr);
    EXPECT_EQ(fits->ncard, 36);
    EXPECT_EQ(std::memcmp(cards.data(), before.data(), cards.size() * 80), 0);
}

TEST(cardfind, block_search_counts_history_cards)
{
    std::vector<FITSBuff> block(36, card_of("HISTORY made by hand"));
    int match = -1;
    int nhist = -1;
    EXPECT_EQ(ft_cardfindblok(block.data(), nullptr, &match, &nhist), nullptr);
    EXPECT_EQ(match, -1);  // untouched without a key
    FITSBuff end = key("END");
    EXPECT_EQ(ft_cardfindblok(block.data(), &end, &match, &nhist), nullptr);
    EXPECT_EQ(match, 0);
    EXPECT_EQ(nhist, 36);
    block[4] = card_of("END");
    block[2] = card_of("END  1");
    EXPECT_EQ(ft_cardfindblok(block.data(), &end, &match, &nhist), block.data() + 4);
    EXPECT_EQ(match, 1);
    block[4] = card_of("COMMENT");
    EXPECT_EQ(ft_cardfindblok(block.data(), &end, &match, &nhist), block.data() + 2);  // the near card
    EXPECT_EQ(match, 0);
    EXPECT_EQ(nhist, 34);
}

TEST(cardfind, null_header_or_key_gives_none)
{
    Head fits = owned_head(kImage);
    FITSBuff simple = key("SIMPLE");
    int match = -1;
    EXPECT_EQ(ft_cardfindseq(nullptr, &simple, &match), nullptr);
    EXPECT_EQ(ft_cardfindidx(fits.get(), nullptr, &match), nullptr);
    EXPECT_EQ(ft_cardfind(nullptr, &simple, 1), nullptr);
    EXPECT_EQ(match, -1);
    EXPECT_EQ(ft_headfind(nullptr, "SIMPLE", 0, 1), nullptr);
    ft_headindex(nullptr);
    EXPECT_EQ(ft_cardfindseq(fits.get(), &simple, nullptr), fits->cards);  // match may be null
}

TEST(cardfind, indexed_search_follows_cards_renamed_in_place)
{
    Head fits = owned_head({"SIMPLE  =                    T", "BITPIX  =                  -32", "OBJECT  = 'M31'",
                            "NAXIS   =                    2", "NAXIS1  =                   10", "NAXIS2  =                   20"});
    ft_headindex(fits.get());
    FITSBuff key;
    ft_cardkey(&key, "OBJECT", 0);
    int match = -1;
    FITSCard object = ft_cardfindidx(fits.get(), &key, &match);
    ASSERT_EQ(match, 1);
    // Renamed behind the index's back: the old name must not find the card.
    ft_cardkey(object, "TARGET", 0);
    EXPECT_EQ(ft_cardfindidx(fits.get(), &key, &match), nullptr);
    EXPECT_EQ(match, 0);
    ft_cardkey(&key, "NAXIS", 2);
    EXPECT_EQ(std::string(ft_cardfindidx(fits.get(), &key, &match)->c, 6), "NAXIS2");
    EXPECT_EQ(match, 1);
}

namespace {

// A binary-table header of `columns` columns, each with TTYPEn, TFORMn and TUNITn.
Head table_head(int columns)
{
    Head fits = owned_head({"XTENSION= 'BINTABLE'", "BITPIX  =                    8", "NAXIS   =                    2"});
    for (int n = 1; n <= columns; n++) {
        ft_headapps(fits.get(), "TTYPE", n, ("col" + std::to_string(n)).c_str(), nullptr);
        ft_headapps(fits.get(), "TFORM", n, "E", nullptr);
        ft_headappi(fits.get(), "TUNIT", n, n, nullptr);
    }
    return fits;
}

// The three ways a card of a header is renamed where it lies.
enum Writer { kFormat, kKey, kCopy };

void rename(FITSCard card, const char *name, int n, Writer writer, int value)
{
    switch (writer) {
    case kFormat:
        ft_cardfmt(card, name, n, FT_INTEGER, &value, 0, "renamed");
        break;
    case kKey:
        ft_cardkey(card, name, n);
        break;
    case kCopy: {
        FITSBuff source = card_of("");
        ft_cardfmt(&source, name, n, FT_INTEGER, &value, 0, "copied");
        ft_cardcpy(card, &source);
        break;
    }
    }
}

} // namespace

// Renamed in place after the index was built, by each writer: the new name finds the
// card, the old one no longer does, and the getters and setters see it so.
TEST(cardfind, renames_in_place_are_seen_by_the_index_both_ways)
{
    for (const Writer writer : {kFormat, kKey, kCopy}) {
        SCOPED_TRACE(writer);
        Head fits = table_head(40);
        ft_headindex(fits.get());
        int match = -1;
        FITSCard tunit = ft_headfindidx(fits.get(), "TUNIT", 17, &match);
        ASSERT_EQ(match, 1);
        // Away from TUNIT17 to a name no card had.
        rename(tunit, "GAIN", 0, writer, 7);
        EXPECT_EQ(idx(fits.get(), "TUNIT", 17).match, 0);
        EXPECT_EQ(ft_headgeti(fits.get(), "TUNIT", 17, -1, nullptr), -1);
        EXPECT_EQ(ft_headfindidx(fits.get(), "GAIN", 0, &match), tunit);
        EXPECT_EQ(match, 1);
        // To a name another card holds, found first by the index, and back.
        rename(tunit, "TUNIT", 18, writer, 7);
        EXPECT_EQ(idx(fits.get(), "GAIN").match, 0);
        EXPECT_EQ(std::string(ft_headfindidx(fits.get(), "TUNIT", 18, &match)->c, 8), "TUNIT18 ");
        EXPECT_EQ(match, 1);
        rename(tunit, "TUNIT", 17, writer, 7);
        EXPECT_EQ(ft_headfindidx(fits.get(), "TUNIT", 17, &match), tunit);
        // The setter rewrites the renamed card: no duplicate is inserted.
        rename(tunit, "EXPTIME", 0, writer, 7);
        const int ncard = fits->ncard;
        ASSERT_NE(fits->index, nullptr);
        EXPECT_EQ(ft_headseti(fits.get(), "EXPTIME", 0, 300, nullptr, 0), tunit);
        EXPECT_EQ(fits->ncard, ncard);
        EXPECT_EQ(ft_headgeti(fits.get(), "EXPTIME", 0, -1, nullptr), 300);
    }
}

// Random renames by every writer over a table header with an index: after each one,
// every keyword the header had or got is found by the index exactly when the cards in
// order find it, and the card found has that keyword.  Renaming a card outside the
// header keeps the index as it is.
TEST(cardfind, indexed_search_agrees_with_the_cards_after_random_renames)
{
    std::mt19937 rng(18);
    Head fits = table_head(120);
    ft_headindex(fits.get());
    std::vector<std::pair<std::string, int>> names;
    for (const char *family : {"TTYPE", "TFORM", "TUNIT", "TNULL", "TDISP"})
        for (int n = 1; n <= 130; n++) names.push_back({family, n});
    for (const char *plain : {"XTENSION", "BITPIX", "NAXIS", "OBJECT", "EXPTIME", "DATE-OBS"}) names.push_back({plain, 0});
    for (int step = 0; step < 400 && !::testing::Test::HasFailure(); step++) {
        const auto &[name, n] = names[rng() % names.size()];
        FITSCard card = fits->cards + rng() % unsigned(fits->ncard - 1);  // never END
        rename(card, name.c_str(), n, Writer(rng() % 3), step);
        for (int probe = 0; probe < 40; probe++) {
            const auto &[pname, pn] = names[rng() % names.size()];
            int seq_match = -1, idx_match = -1;
            ft_headfindseq(fits.get(), pname.c_str(), pn, &seq_match);
            FITSCard found = ft_headfindidx(fits.get(), pname.c_str(), pn, &idx_match);
            FITSBuff k = key(pname.c_str(), pn);
            ASSERT_EQ(idx_match, seq_match) << pname << pn << " after step " << step;
            if (idx_match) {
                EXPECT_EQ(compare(*found, k), 0);
            }
        }
    }
    // A key card of the caller's renamed again and again: the index stays.
    FITSCard *index = fits->index;
    FITSBuff k = key("TTYPE", 1);
    for (int n = 1; n <= 120; n++) {
        ft_cardkey(&k, "TFORM", n);
        int match = -1;
        ft_cardfindidx(fits.get(), &k, &match);
        EXPECT_EQ(fits->index, index);
    }
}

// Bytes written into a card directly, behind the writers' back: a card renamed away
// is not found under its old name (its entry no longer holds), and the search after
// ft_headindex finds every card where it is.
TEST(cardfind, direct_byte_edits_away_are_caught)
{
    Head fits = table_head(10);
    ft_headindex(fits.get());
    int match = -1;
    FITSCard ttype = ft_headfindidx(fits.get(), "TTYPE", 4, &match);
    ASSERT_EQ(match, 1);
    std::memcpy(ttype->c, "TTYPX4  ", 8);
    EXPECT_EQ(idx(fits.get(), "TTYPE", 4).match, 0);
    ft_headindex(fits.get());
    EXPECT_EQ(ft_headfindidx(fits.get(), "TTYPX4", 0, &match), ttype);
    EXPECT_EQ(match, 1);
}

// Null cards order after every card and equal to each other, so qsort of an array
// of card pointers with nulls among them ends with the nulls.
TEST(cardfind, compare_puts_null_cards_last)
{
    std::vector<FITSBuff> cards = {key("NAXIS", 2), key("BITPIX"), key("NAXIS", 10), key("END"), key("NAXIS")};
    std::vector<FITSCard> order;
    for (int round = 0; round < 3; round++)
        for (FITSBuff &c : cards) {
            order.push_back(&c);
            if (round != 1) order.push_back(nullptr);
        }
    std::mt19937 rng(4);
    for (int shuffle = 0; shuffle < 20; shuffle++) {
        std::shuffle(order.begin(), order.end(), rng);
        std::qsort(order.data(), order.size(), sizeof(FITSCard), ft_compare);
        std::vector<std::string> texts;
        for (FITSCard c : order) texts.push_back(c ? std::string(c->c, 8) : "(null)");
        std::vector<std::string> expected;
        for (const char *k : {"BITPIX  ", "END     ", "NAXIS   ", "NAXIS2  ", "NAXIS10 "})
            expected.insert(expected.end(), 3, k);
        expected.insert(expected.end(), 10, "(null)");
        EXPECT_EQ(texts, expected);
    }
    const FITSCard none = nullptr, some = &cards[0];
    EXPECT_EQ(ft_compare(&none, &none), 0);
    EXPECT_EQ(ft_compare(&none, &some) > 0, true);
    EXPECT_EQ(ft_compare(&some, &none) < 0, true);
}
