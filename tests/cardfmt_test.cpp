#include "card_text.h"
#include "fits.h"
#include "head_cards.h"
#include "keyword_columns.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// Three cards with the one written in the middle: the neighbours show any write
// past either end.
struct Framed {
    FITSBuff cards[3];
    Framed(std::string_view text = "KEY")
    {
        put_card(&cards[0], std::string(80, '<'));
        put_card(&cards[1], text);
        put_card(&cards[2], std::string(80, '>'));
    }
    FITSCard card() { return &cards[1]; }
    std::string text() const { return text_of(cards[1]); }
    bool intact() const
    {
        return text_of(cards[0]) == std::string(80, '<') && text_of(cards[2]) == std::string(80, '>');
    }
};

std::string key_card(const char *name, int n)
{
    Framed f(std::string(80, 'x'));
    EXPECT_EQ(ft_cardkey(f.card(), name, n), f.card());
    return f.text();
}

// text right-justified in 20 columns, as values are written.
std::string right(std::string_view text)
{
    return blanks(text.size() < 20 ? 20 - text.size() : 0) + std::string(text);
}

std::string value_of(FITSCard card)
{
    char value[73];
    ft_cardpar(card, nullptr, value, nullptr, nullptr);
    return value;
}

FITSType type_of(FITSCard card)
{
    char value[73];
    FITSType type = FT_UNKNOWN;
    ft_cardpar(card, &type, value, nullptr, nullptr);
    return type;
}

} // namespace

TEST(cardfmt, keyword_from_name_and_index)
{
    EXPECT_EQ(key_card("NAXIS", 2), padded("NAXIS2"));
    EXPECT_EQ(key_card("END", 0), padded("END"));
    EXPECT_EQ(key_card("TOOLONGNAME", 0), padded("TOOLONGN"));
    EXPECT_EQ(key_card("TTYPE", 100), padded("TTYPE100"));
    EXPECT_EQ(key_card("TTYPE", 1000), padded("TTYPE100"));
    EXPECT_EQ(key_card("ABCDEFG", 12), padded("ABCDEFG1"));
    EXPECT_EQ(key_card("NAXIS", -1), padded("NAXIS-1"));
    EXPECT_EQ(key_card("A", INT_MIN), padded("A-214748"));
    EXPECT_EQ(key_card("", 7), padded("7"));
    EXPECT_EQ(key_card("naxis", 0), padded("naxis"));
    // Without a name the keyword field stays.
    EXPECT_EQ(key_card(nullptr, 3), std::string(8, 'x') + blanks(72));
}

TEST(cardfmt, logical_and_integer_columns)
{
    Framed f("NAXIS1  = 'old value' / old comment");
    EXPECT_EQ(ft_cardseti(f.card(), 42, nullptr), f.card());
    EXPECT_EQ(f.text(), padded("NAXIS1  =                   42"));
    ft_cardseti(f.card(), INT_MIN, nullptr);
    EXPECT_EQ(f.text(), padded("NAXIS1  =          -2147483648"));
    ft_cardsetl(f.card(), 0, nullptr);
    EXPECT_EQ(f.text(), padded("NAXIS1  =                    F"));
    ft_cardsetl(f.card(), 5, nullptr);
    EXPECT_EQ(f.text(), padded("NAXIS1  =                    T"));
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, real_fixed_columns)
{
    Framed f("BSCALE");
    ft_cardsetr(f.card(), 1.5, 3, nullptr);
    EXPECT_EQ(f.text(), padded("BSCALE  =                1.500"));
    ft_cardsetr(f.card(), 2.0, 0, nullptr);
    EXPECT_EQ(f.text(), padded("BSCALE  =                   2."));
    ft_cardsetr(f.card(), 2.5, -1, nullptr);
    EXPECT_EQ(f.text(), padded("BSCALE  =             2.500000"));
    // A text longer than 20 columns runs on, and the comment follows it.
    ft_cardsetr(f.card(), -1.25, 30, "c");
    EXPECT_EQ(f.text(), padded("BSCALE  = -1.250000000000000000000000000000 / c"));
    // Precision 68 still fits columns 11-80 exactly.
    ft_cardsetr(f.card(), 1.5, 68, "no room");
    EXPECT_EQ(f.text(), "BSCALE  = 1.5" + std::string(67, '0'));
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, real_too_long_for_fixed_form_uses_exponent)
{
    struct Case {
        double x;
        int prec;
        std::string columns11to;
    };
    const Case cases[] = {
        {1e300, 7, right("1.E+300")},
        {-1e300, 7, right("-1.E+300")},
        {DBL_MAX, 0, "1.7976931348623157E+308"},
        {-DBL_MAX, 0, "-1.7976931348623157E+308"},
        {1.5, 69, right("1.5E+00")},
        {0.1, 80, right("1.E-01")},
        {1e-300, 80, right("1.E-300")},
        {DBL_MIN, 80, "2.2250738585072014E-308"},
        {std::numeric_limits<double>::denorm_min(), 1000, right("5.E-324")},
        {0.0, INT_MAX, right("0.E+00")},
        {1e61, 9, right("1.E+61")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.columns11to);
        Framed f("X");
        ft_cardsetr(f.card(), c.x, c.prec, "comment");
        const std::string text(c.columns11to);
        EXPECT_EQ(f.text(), padded("X       = " + text + " / comment"));
        EXPECT_EQ(type_of(f.card()), FT_REAL);
        EXPECT_EQ(ft_cardgetr(f.card()), c.x);
        EXPECT_EQ(f.intact(), true);
    }
}

TEST(cardfmt, real_nan_and_infinities)
{
    Framed f("X");
    ft_cardsetr(f.card(), std::numeric_limits<double>::quiet_NaN(), 80, nullptr);
    EXPECT_EQ(f.text(), padded("X       =                  nan"));
    EXPECT_EQ(std::isnan(ft_cardgetr(f.card())), true);
    ft_cardsetr(f.card(), -HUGE_VAL, 3, nullptr);
    EXPECT_EQ(f.text(), padded("X       =                 -inf"));
    EXPECT_EQ(ft_cardgetr(f.card()), -HUGE_VAL);
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, string_columns)
{
    Framed f("XTENSION");
    ft_cardsets(f.card(), "IMAGE", nullptr);
    EXPECT_EQ(f.text(), padded("XTENSION= 'IMAGE             '"));
    ft_cardsets(f.card(), "O'Brien", nullptr);
    EXPECT_EQ(f.text(), padded("XTENSION= 'OBrien            '"));
    ft_cardsets(f.card(), "", nullptr);
    EXPECT_EQ(f.text(), padded("XTENSION= '" + blanks(18) + "'"));
    ft_cardsets(f.card(), "nineteen characters", "c");
    EXPECT_EQ(f.text(), padded("XTENSION= 'nineteen characters' / c"));
    const std::string seventy(70, 's');
    ft_cardsets(f.card(), seventy.c_str(), "no room");
    EXPECT_EQ(f.text(), "XTENSION= '" + std::string(68, 's') + "'");
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, raw_value_columns)
{
    Framed f("CVAL");
    const char *pair = "(1.0,2.0)";
    ft_cardset(f.card(), FT_VALUE, pair, 0, "complex");
    EXPECT_EQ(f.text(), padded("CVAL    = (1.0,2.0)           / complex"));
    std::string long_text(77, 'v');  // quoted: the quotes are left out
    long_text.front() = long_text.back() = '\'';
    ft_cardset(f.card(), FT_VALUE, long_text.c_str(), 0, "c");
    EXPECT_EQ(f.text(), "CVAL    = " + std::string(70, 'v'));
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, comment_placement_and_cuts)
{
    Framed f("NAXIS");
    ft_cardseti(f.card(), 2, "  number of axes");
    EXPECT_EQ(f.text(), padded("NAXIS   =                    2 / number of axes"));
    const std::string sixty(60, 'c');
    ft_cardseti(f.card(), 2, sixty.c_str());
    EXPECT_EQ(f.text(), "NAXIS   =                    2 / " + std::string(47, 'c'));
    ft_cardseti(f.card(), 2, "");
    EXPECT_EQ(f.text(), padded("NAXIS   =                    2"));
    ft_cardseti(f.card(), 2, "   ");
    EXPECT_EQ(f.text(), padded("NAXIS   =                    2"));
    // A string ending in column 76 leaves room for one comment character.
    ft_cardsets(f.card(), std::string(64, 's').c_str(), "cut");
    EXPECT_EQ(f.text(), "NAXIS   = '" + std::string(64, 's') + "' / c");
    ft_cardsets(f.card(), std::string(65, 's').c_str(), "cut");
    EXPECT_EQ(f.text(), padded("NAXIS   = '" + std::string(65, 's') + "'"));
    // No value: no "=", the comment in its usual place.
    ft_cardfmt(f.card(), "BARE", 0, FT_UNKNOWN, nullptr, 0, "note");
    EXPECT_EQ(f.text(), padded("BARE" + blanks(27) + "/ note"));
    ft_cardfmt(f.card(), "BARE", 0, FT_COMPLEX, "(1,2)", 0, "note");
    EXPECT_EQ(f.text(), padded("BARE" + blanks(27) + "/ note"));
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, keeping_the_old_comment)
{
    Framed f("NAXIS   =                    1 / old words");
    ft_cardseti(f.card(), 7, FT_Comment);
    EXPECT_EQ(f.text(), padded("NAXIS   =                    7 / old words"));
    ft_cardseti(f.card(), 8, nullptr);
    EXPECT_EQ(f.text(), padded("NAXIS   =                    8"));
    ft_cardseti(f.card(), 9, FT_Comment);
    EXPECT_EQ(f.text(), padded("NAXIS   =                    9"));
    // The slash inside a string is not the comment's.
    put_card(f.card(), "DATE    = '2004/01/01'  / date");
    ft_cardsets(f.card(), "2005/02/02", FT_Comment);
    EXPECT_EQ(f.text(), padded("DATE    = '2005/02/02        ' / date"));
    put_card(f.card(), "DATE    = '2004/01/01'");
    ft_cardsets(f.card(), "x", FT_Comment);
    EXPECT_EQ(f.text(), padded("DATE    = 'x                 '"));
    // A commentary card's text after its slash becomes the comment.
    put_card(f.card(), "HISTORY this/that");
    const int one = 1;
    ft_cardfmt(f.card(), "N", 0, FT_INTEGER, &one, 0, FT_Comment);
    EXPECT_EQ(f.text(), padded("N       =                    1 / that"));
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, commentary_text_from_column_9)
{
    Framed f("KEY     =                    1 / c");
    ft_cardfmt(f.card(), "HISTORY", 0, FT_COMMENT, "  two blanks / first", 0, "ignored");
    EXPECT_EQ(f.text(), padded("HISTORY   two blanks / first"));
    const std::string long_text(90, 'h');
    ft_cardfmt(f.card(), "COMMENT", 0, FT_COMMENT, long_text.c_str(), 0, nullptr);
    EXPECT_EQ(f.text(), "COMMENT " + std::string(72, 'h'));
    EXPECT_EQ(value_of(f.card()), std::string(72, 'h'));
    EXPECT_EQ(type_of(f.card()), FT_COMMENT);
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, null_cards_clear_and_copy)
{
    const int one = 1;
    EXPECT_EQ(ft_cardfmt(nullptr, "X", 0, FT_INTEGER, &one, 0, "c"), nullptr);
    EXPECT_EQ(ft_cardkey(nullptr, "X", 1), nullptr);
    EXPECT_EQ(ft_cardsetl(nullptr, 1, nullptr), nullptr);
    EXPECT_EQ(ft_cardseti(nullptr, 1, nullptr), nullptr);
    EXPECT_EQ(ft_cardsetr(nullptr, 1.0, 2, nullptr), nullptr);
    EXPECT_EQ(ft_cardsets(nullptr, "s", FT_Comment), nullptr);
    EXPECT_EQ(ft_cardclr(nullptr, 3), nullptr);

    FITSBuff cards[4];
    for (int i = 0; i < 4; i++) put_card(&cards[i], std::string(80, char('a' + i)));
    EXPECT_EQ(ft_cardclr(&cards[1], 2), &cards[1]);
    EXPECT_EQ(text_of(cards[0]), std::string(80, 'a'));
    EXPECT_EQ(text_of(cards[1]), blanks(80));
    EXPECT_EQ(text_of(cards[2]), blanks(80));
    EXPECT_EQ(text_of(cards[3]), std::string(80, 'd'));
    EXPECT_EQ(ft_cardclr(&cards[0], 0), &cards[0]);
    EXPECT_EQ(text_of(cards[0]), std::string(80, 'a'));

    EXPECT_EQ(ft_cardcpy(&cards[1], &cards[3]), &cards[1]);
    EXPECT_EQ(text_of(cards[1]), std::string(80, 'd'));
    EXPECT_EQ(ft_cardcpy(&cards[0], nullptr), &cards[0]);
    EXPECT_EQ(text_of(cards[0]), std::string(80, 'a'));
    EXPECT_EQ(ft_cardcpy(nullptr, &cards[0]), nullptr);
    // Overlapping cards, as in a shifted card array.
    char bytes[120];
    std::memset(bytes, '.', sizeof bytes);
    for (int i = 0; i < 80; i++) bytes[i] = char('0' + i % 10);
    ft_cardcpy(reinterpret_cast<FITSCard>(bytes + 40), reinterpret_cast<FITSCard>(bytes));
    std::string want(bytes, 40);
    for (int i = 0; i < 80; i++) want += char('0' + i % 10);
    EXPECT_EQ(std::string(bytes, 120), want);
}

TEST(cardfmt, round_trip_logicals_integers_strings)
{
    std::mt19937 rng(20040101);
    Framed f("KEY");
    for (int lvalue : {0, 1, -1, INT_MIN, 7}) {
        ft_cardsetl(f.card(), lvalue, "c");
        EXPECT_EQ(type_of(f.card()), FT_LOGICAL);
        EXPECT_EQ(ft_cardgetl(f.card()), lvalue != 0);
    }
    std::vector<int> ints = {0, 1, -1, INT_MAX, INT_MIN, 8, -8, 10, 100000};
    for (int i = 0; i < 2000; i++) ints.push_back(int(rng()));
    for (int ivalue : ints) {
        ft_cardseti(f.card(), ivalue, "comment");
        EXPECT_EQ(type_of(f.card()), FT_INTEGER);
        EXPECT_EQ(ft_cardgeti(f.card()), ivalue);
    }
    // Strings of every length, any printable character but the quote; the
    // parser drops trailing blanks, so the test strings end in a non-blank.
    std::uniform_int_distribution<int> printable(' ', '~');
    for (int len = 1; len <= 68; len++) {
        for (int k = 0; k < 20; k++) {
            std::string s;
            while (int(s.size()) < len) {
                const char ch = char(printable(rng));
                if (ch != '\'') s += ch;
            }
            if (s.back() == ' ') s.back() = '.';
            ft_cardsets(f.card(), s.c_str(), "/ slash / comment");
            EXPECT_EQ(type_of(f.card()), FT_STRING);
            EXPECT_EQ(value_of(f.card()), s);
        }
    }
    EXPECT_EQ(f.intact(), true);
}

TEST(cardfmt, round_trip_reals_all_precisions)
{
    std::mt19937_64 rng(4096);
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.1, 1.0 / 3.0, 2.5, 1e15, 123456789.125,
                                  DBL_MAX, -DBL_MAX, DBL_MIN, std::numeric_limits<double>::denorm_min(),
                                  DBL_EPSILON, 9.999999999999999e22};
    for (int e = -320; e <= 308; e += 7) {
        const double m = 1.0 + double(rng() % 1000000) / 1000000.0;
        values.push_back(m * std::pow(10.0, e));
        values.push_back(-m * std::pow(10.0, e));
    }
    for (double x : values) {
        for (int prec = -1; prec <= 80; prec++) {
            Framed f("R");
            ft_cardsetr(f.card(), x, prec, "comment");
            const double r = ft_cardgetr(f.card());
            // Fixed form rounds to prec digits; the exponent form gives x exactly.
            const int digits = prec < 0 ? 6 : prec;
            const double tolerance = 0.5 * std::pow(10.0, -digits) + 2 * std::fabs(std::nextafter(r, 0.0) - r);
            const bool ok = r == x || std::fabs(r - x) <= tolerance;
            EXPECT_EQ(ok, true) << x << " at precision " << prec << ": " << f.text();
            EXPECT_EQ(type_of(f.card()), FT_REAL);
            EXPECT_EQ(f.intact(), true);
        }
    }
}

// The one keyword writer (columns 1-8 from a name and a number) behind the card
// formatter, the bare keyword cards and the search keys, against keywords spelt here
// with printf: every key of a binary table of 999 columns, each column with every
// keyword a column can have.  A table header built of them finds each keyword.
TEST(cardfmt, keyword_writer_and_formatter_agree_on_every_key_of_a_table_header)
{
    std::vector<std::pair<std::string, int>> keys = {{"XTENSION", 0}, {"BITPIX", 0}, {"NAXIS", 0}, {"NAXIS", 1},
                                                     {"NAXIS", 2},    {"PCOUNT", 0}, {"GCOUNT", 0}, {"TFIELDS", 0},
                                                     {"EXTNAME", 0},  {"THEAP", 0}};
    const char *families[] = {"TTYPE", "TFORM", "TUNIT", "TDISP", "TNULL", "TSCAL", "TZERO",
                              "TDIM",  "TCTYP", "TCUNI", "TCRVL", "TCDLT", "TCRPX", "TBCOL"};
    for (int n = 1; n <= 999; n++)
        for (const char *family : families) keys.push_back({family, n});
    // Numbers that do not fit: the digits are cut at column 8.
    keys.push_back({"NAXIS", 12345});
    keys.push_back({"TTYPE", -12});
    Head fits(ft_headinit(nullptr, 0));
    for (const auto &[name, n] : keys) {
        char spelt[32];
        std::snprintf(spelt, sizeof spelt, n ? "%-8.8s" : "%-8s", (name + (n ? std::to_string(n) : "")).c_str());
        const std::string expected(spelt, 8);
        SCOPED_TRACE(expected);
        char columns[8];
        keyword_columns::write(columns, name.c_str(), n);
        EXPECT_EQ(std::string(columns, 8), expected);
        FITSBuff card = card_of("");
        const int value = 5;
        EXPECT_EQ(text_of(*ft_cardfmt(&card, name.c_str(), n, FT_INTEGER, &value, 0, "c")).substr(0, 8), expected);
        EXPECT_EQ(text_of(*ft_cardfmt(&card, name.c_str(), n, FT_STRING, "s", 0, nullptr)).substr(0, 8), expected);
        EXPECT_EQ(text_of(*ft_cardkey(&card, name.c_str(), n)), padded(expected));
        EXPECT_EQ(ft_headapps(fits.get(), name.c_str(), n, "v", nullptr) != nullptr, true);
    }
    ASSERT_EQ(fits->ncard, int(keys.size()) + 1);
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1) ft_headindex(fits.get());
        for (int i = 0; i < int(keys.size()); i++) {
            int match = -1;
            const FITSCard found = ft_headfindseq(fits.get(), keys[size_t(i)].first.c_str(), keys[size_t(i)].second, &match);
            EXPECT_EQ(found, fits->cards + i);
            EXPECT_EQ(ft_headfind(fits.get(), keys[size_t(i)].first.c_str(), keys[size_t(i)].second, 0), fits->cards + i);
        }
    }
}
