#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

std::string value_card(const std::string &name, const std::string &value)
{
    return padded(padded(name, 8) + "= " + blanks(value.size() < 20 ? 20 - value.size() : 0) + value);
}
std::string int_card(const std::string &name, long long v) { return value_card(name, std::to_string(v)); }
std::string str_card(const std::string &name, const std::string &v) { return padded(padded(name, 8) + "= '" + v + "'"); }
std::string num(const std::string &name, int i) { return name + std::to_string(i); }

// The cards of a table extension with one TFORMn per form; an empty form leaves TFORMn out.
std::vector<std::string> table_cards(const std::string &xtension, long long naxis1, std::vector<std::string> forms,
                                     std::vector<std::string> more = {})
{
    std::vector<std::string> texts = {str_card("XTENSION", xtension), int_card("BITPIX", 8), int_card("NAXIS", 2),
                                      int_card("NAXIS1", naxis1),     int_card("NAXIS2", 3), int_card("PCOUNT", 0),
                                      int_card("GCOUNT", 1),          int_card("TFIELDS", (long long)forms.size())};
    for (std::size_t i = 0; i < forms.size(); i++)
        if (!forms[i].empty()) texts.push_back(str_card(num("TFORM", int(i + 1)), forms[i]));
    texts.insert(texts.end(), more.begin(), more.end());
    return texts;
}

std::vector<std::string> bintable(std::vector<std::string> forms, std::vector<std::string> more = {})
{
    return table_cards("BINTABLE", 100, std::move(forms), std::move(more));
}

// An ASCII table whose fields start at the given TBCOLs.
std::vector<std::string> ascii_table(long long naxis1, std::vector<std::string> forms, std::vector<int> tbcols,
                                     std::vector<std::string> more = {})
{
    for (std::size_t i = 0; i < tbcols.size(); i++) more.push_back(int_card(num("TBCOL", int(i + 1)), tbcols[i]));
    return table_cards("TABLE", naxis1, std::move(forms), std::move(more));
}

// A header viewed in place over its cards in whole blocks, interpreted as a read one is.
struct Viewed {
    std::vector<FITSBuff> cards;
    Head fits;
    explicit Viewed(const std::vector<std::string> &texts) : cards(block_cards(texts)), fits(viewed_head(cards)) {}
    FITSTable table() const { return fits->table; }
    _FITSTCol &col(int i) const { return fits->table->col[i - 1]; }
};

// Where a column lies and what it holds.
struct Layout {
    int type, n, size, width, offset, heap;
    bool operator==(const Layout &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Layout &l)
{
    return os << "type " << char(l.type) << " n " << l.n << " size " << l.size << " width " << l.width << " offset "
              << l.offset << " heap " << l.heap;
}

std::vector<Layout> layouts(FITSTable table)
{
    std::vector<Layout> out;
    if (!table) return out;
    for (int i = 0; i < table->tfields; i++) {
        const _FITSTCol &c = table->col[i];
        out.push_back({c.type, c.n, c.size, c.width, c.offset, c.heap});
    }
    return out;
}

std::vector<Layout> layouts_of(const std::vector<std::string> &texts) { return layouts(Viewed(texts).table()); }

bool described(const std::vector<std::string> &texts) { return Viewed(texts).table() != nullptr; }

std::string text_or_null(const char *s) { return s ? s : "(null)"; }

struct FreeText {
    void operator()(char *s) const { std::free(s); }
};

// The display format of a column of the given type, width, precision and TDISP.
std::string format_of(int type, int width, int prec, const char *disp = nullptr)
{
    _FITSTCol col{};
    col.type = type;
    col.width = width;
    col.prec = prec;
    col.disp = const_cast<char *>(disp);
    std::unique_ptr<char, FreeText> text(ft_format(&col));
    return text_or_null(text.get());
}

} // namespace

TEST(headtable, only_table_extensions_are_described)
{
    const std::vector<std::string> forms = {"1J"};
    EXPECT_EQ(Viewed(table_cards("BINTABLE", 4, forms)).table()->tabtype, 0);
    EXPECT_EQ(Viewed(table_cards("A3DTABLE", 4, forms)).table()->tabtype, 0);
    EXPECT_EQ(Viewed(table_cards("3DTABLE", 4, forms)).table()->tabtype, 0);
    EXPECT_EQ(Viewed(ascii_table(4, {"I4"}, {1})).table()->tabtype, 1);
    EXPECT_EQ(described(table_cards("IMAGE", 4, forms)), false);
    EXPECT_EQ(described(table_cards("bintable", 4, forms)), false);
    EXPECT_EQ(described({"SIMPLE  =                    T", int_card("BITPIX", 8), int_card("NAXIS", 0),
                         int_card("TFIELDS", 1), str_card("TFORM1", "1J")}),
              false);
}

TEST(headtable, tfields_outside_one_to_999_gives_no_table)
{
    for (const std::string value : {"0", "-1", "1000", "99999999999", "'abc'"}) {
        SCOPED_TRACE(value);
        std::vector<std::string> texts = bintable({"1J"});
        texts[7] = value_card("TFIELDS", value);
        EXPECT_EQ(described(texts), false);
    }
    std::vector<std::string> texts = bintable({"1J"});
    texts.erase(texts.begin() + 7);
    EXPECT_EQ(described(texts), false);
}

TEST(headtable, binary_example_offsets_and_widths)
{
    EXPECT_EQ(layouts_of(bintable({"1J", "20A", "1D", "12X"})),
              (std::vector<Layout>{{'J', 1, 4, 4, 0, 0}, {'A', 20, 1, 20, 4, 0}, {'D', 1, 8, 8, 24, 0},
                                   {'X', 12, 1, 2, 32, 0}}));
}

TEST(headtable, every_tform_letter)
{
    EXPECT_EQ(layouts_of(bintable({"1L", "3X", "1B", "1I", "1J", "1K", "2A", "1E", "1D", "1C", "1M", "1PB(10)",
                                   "1QJ(7)", "1J"})),
              (std::vector<Layout>{{'L', 1, 1, 1, 0, 0},   {'X', 3, 1, 1, 1, 0},   {'B', 1, 1, 1, 2, 0},
                                   {'I', 1, 2, 2, 3, 0},   {'J', 1, 4, 4, 5, 0},   {'K', 1, 8, 8, 9, 0},
                                   {'A', 2, 1, 2, 17, 0},  {'E', 1, 4, 4, 19, 0},  {'D', 1, 8, 8, 23, 0},
                                   {'C', 1, 8, 8, 31, 0},  {'M', 1, 16, 16, 39, 0}, {'B', 10, 1, 8, 55, 1},
                                   {'J', 7, 4, 16, 63, 1}, {'J', 1, 4, 4, 79, 0}}));
}

TEST(headtable, repeat_counts_and_bits)
{
    EXPECT_EQ(layouts_of(bintable({"3K", "8X", "9X", "0J", "E", " 2 D", "1J"})),
              (std::vector<Layout>{{'K', 3, 8, 24, 0, 0}, {'X', 8, 1, 1, 24, 0}, {'X', 9, 1, 2, 25, 0},
                                   {'J', 0, 4, 0, 27, 0}, {'E', 1, 4, 4, 27, 0}, {'D', 2, 8, 16, 31, 0},
                                   {'J', 1, 4, 4, 47, 0}}));
}

TEST(headtable, variable_length_columns)
{
    Viewed v(bintable({"1PE(100)", "PA", "1QD", "1P", "1J"}));
    EXPECT_EQ(layouts(v.table()), (std::vector<Layout>{{'E', 100, 4, 8, 0, 1}, {'A', 0, 1, 8, 8, 1},
                                                       {'D', 0, 8, 16, 16, 1}, {'P', 0, 0, 8, 32, 1},
                                                       {'J', 1, 4, 4, 40, 0}}));
    EXPECT_EQ(text_or_null(v.col(1).format), "%8.0f");
}

TEST(headtable, column_without_tform_takes_no_room)
{
    EXPECT_EQ(layouts_of(bintable({"", "1@", "1J"})),
              (std::vector<Layout>{{' ', 0, 0, 0, 0, 0}, {'@', 1, 0, 0, 0, 0}, {'J', 1, 4, 4, 0, 0}}));
}

TEST(headtable, ascii_example)
{
    Viewed v(ascii_table(30, {"I10", "F20.5"}, {1, 11}));
    EXPECT_EQ(layouts(v.table()), (std::vector<Layout>{{'A', 1, 10, 10, 0, 0}, {'A', 1, 20, 20, 10, 0}}));
    EXPECT_EQ(v.col(1).prec, 0);
    EXPECT_EQ(v.col(2).prec, 5);
    EXPECT_EQ(text_or_null(v.col(1).format), "%10.10s");
    EXPECT_EQ(text_or_null(v.col(2).format), "%20.20s");
}

TEST(headtable, ascii_fields_in_any_order_reach_the_next_field)
{
    EXPECT_EQ(layouts_of(ascii_table(40, {"I10", "A5", "E15.7"}, {21, 1, 6})),
              (std::vector<Layout>{{'A', 1, 10, 20, 20, 0}, {'A', 1, 5, 5, 0, 0}, {'A', 1, 15, 15, 5, 0}}));
}

TEST(headtable, ascii_table_ignores_tdisp_and_keeps_tnull_as_text)
{
    Viewed v(ascii_table(10, {"A10"}, {1}, {str_card("TDISP1", "A4"), str_card("TNULL1", "N/A")}));
    EXPECT_EQ(text_or_null(v.col(1).disp), "(null)");
    EXPECT_EQ(text_or_null(v.col(1).ablank), "N/A");
    EXPECT_EQ(v.col(1).has_blank, 1);
    EXPECT_EQ(v.col(1).dblank, 0.0);
}

TEST(headtable, hostile_tbcol_gives_no_table)
{
    EXPECT_EQ(described(ascii_table(30, {"I10", "F20.5"}, {1, 30})), true);
    for (const int tbcol : {0, -5, 31, 2147483647}) {
        SCOPED_TRACE(tbcol);
        EXPECT_EQ(described(ascii_table(30, {"I10", "F20.5"}, {1, tbcol})), false);
    }
    EXPECT_EQ(described(ascii_table(30, {"I10", "F20.5"}, {1})), false);  // TBCOL2 missing
    EXPECT_EQ(described(ascii_table(30, {"I10", "F20.5"}, {1, 11}, {value_card("TBCOL3", "99999999999")})), true);
}

TEST(headtable, hostile_tform_gives_no_table)
{
    for (const std::string form : {"99999999999J", "2147483648A", "2147483647D", "-1J", "1J-4", "F10.-1",
                                   "1PE(99999999999)", "1PE(-3)", "E4.99999999999"}) {
        SCOPED_TRACE(form);
        EXPECT_EQ(described(bintable({"1J", form})), false);
    }
    for (const std::string form : {"I-5", "F10.99999999999", "99999999999I"}) {
        SCOPED_TRACE(form);
        EXPECT_EQ(described(ascii_table(30, {form}, {1})), false);
    }
}

TEST(headtable, rows_up_to_the_int_limit)
{
    EXPECT_EQ(layouts_of(bintable({"2147483647X"})), (std::vector<Layout>{{'X', 2147483647, 1, 268435456, 0, 0}}));
    EXPECT_EQ(layouts_of(bintable({"2147483647A"})), (std::vector<Layout>{{'A', 2147483647, 1, 2147483647, 0, 0}}));
    EXPECT_EQ(layouts_of(bintable({"2147483639A", "1D"})),
              (std::vector<Layout>{{'A', 2147483639, 1, 2147483639, 0, 0}, {'D', 1, 8, 8, 2147483639, 0}}));
    EXPECT_EQ(described(bintable({"2147483640A", "1D"})), false);
    EXPECT_EQ(described(bintable({"2147483647A", "1P"})), false);
    EXPECT_EQ(described(bintable({"2147483647X", "2147483647A"})), false);
}

TEST(headtable, table_of_999_columns)
{
    std::vector<std::string> forms(999, "1J"), more;
    for (int i = 1; i <= 999; i++) more.push_back(str_card(num("TTYPE", i), num("C", i)));
    Viewed v(bintable(forms, more));
    ASSERT_NE(v.table(), nullptr);
    EXPECT_EQ(v.table()->tfields, 999);
    EXPECT_EQ(v.col(999).offset, 3992);
    EXPECT_EQ(text_or_null(v.col(999).name), "C999");
    EXPECT_EQ(text_or_null(v.col(10).name), "C10");
    EXPECT_EQ(v.fits->index != nullptr, true);
}

TEST(headtable, names_units_and_display)
{
    Viewed v(bintable({"1E", "1E", "1J"}, {str_card("TTYPE1", "FLUX"), str_card("TUNIT1", "Jy"),
                                           str_card("TDISP1", "F10.3"), str_card("TTYPE3", "COUNT")}));
    EXPECT_EQ(text_or_null(v.col(1).name), "FLUX");
    EXPECT_EQ(text_or_null(v.col(1).unit), "Jy");
    EXPECT_EQ(text_or_null(v.col(1).disp), "F10.3");
    EXPECT_EQ(text_or_null(v.col(1).format), "%10.3f");
    EXPECT_EQ(text_or_null(v.col(2).name), "(null)");
    EXPECT_EQ(text_or_null(v.col(2).unit), "(null)");
    EXPECT_EQ(text_or_null(v.col(2).disp), "(null)");
    EXPECT_EQ(text_or_null(v.col(2).format), "%4.0f");
    EXPECT_EQ(text_or_null(v.col(3).format), "%4.1d");
}

TEST(headtable, scaling_flags_record_presence)
{
    Viewed v(bintable({"1I", "1I", "1I"}, {value_card("TSCAL1", "1.0"), value_card("TZERO2", "32768"),
                                           value_card("TSCAL2", "0.5"), value_card("TZERO3", "0.0")}));
    EXPECT_EQ(v.col(1).has_scale, 1);
    EXPECT_EQ(v.col(1).scale, 1.0);
    EXPECT_EQ(v.col(1).has_zero, 0);
    EXPECT_EQ(v.col(1).zero, 0.0);
    EXPECT_EQ(v.col(2).has_scale, 1);
    EXPECT_EQ(v.col(2).scale, 0.5);
    EXPECT_EQ(v.col(2).has_zero, 1);
    EXPECT_EQ(v.col(2).zero, 32768.0);
    EXPECT_EQ(v.col(3).has_scale, 0);
    EXPECT_EQ(v.col(3).scale, 1.0);
    EXPECT_EQ(v.col(3).has_zero, 1);
}

TEST(headtable, tnull_as_text_and_number)
{
    Viewed v(bintable({"1J", "1B", "1J"},
                      {str_card("TNULL1", "-999"), value_card("TNULL2", "255"), str_card("TNULL3", "none")}));
    EXPECT_EQ(text_or_null(v.col(1).ablank), "-999");
    EXPECT_EQ(v.col(1).dblank, -999.0);
    EXPECT_EQ(v.col(1).has_blank, 1);
    EXPECT_EQ(text_or_null(v.col(2).ablank), "255");
    EXPECT_EQ(v.col(2).dblank, 255.0);
    EXPECT_EQ(text_or_null(v.col(3).ablank), "none");
    EXPECT_EQ(v.col(3).dblank, 0.0);
    Viewed plain(bintable({"1J"}));
    EXPECT_EQ(plain.col(1).has_blank, 0);
    EXPECT_EQ(text_or_null(plain.col(1).ablank), "(null)");
}

TEST(headtable, element_sizes)
{
    struct Case {
        int c, bytes;
    };
    for (const Case c : {Case{'A', 1}, {'B', 1}, {'L', 1}, {'X', 1}, {8, 1}, {4104, 1}, {'I', 2}, {'U', 2}, {16, 2},
                         {4112, 2}, {'E', 4}, {'F', 4}, {'J', 4}, {'V', 4}, {32, 4}, {4128, 4}, {-32, 4}, {'C', 8},
                         {'D', 8}, {'K', 8}, {'P', 8}, {64, 8}, {-64, 8}, {'M', 16}, {'Q', 16}, {'G', 0}, {'O', 0},
                         {'a', 0}, {-16, 0}, {0, 0}, {4096, 0}, {-2147483647 - 1, 0}}) {
        SCOPED_TRACE(c.c);
        EXPECT_EQ(ft_sizeof(c.c), c.bytes);
    }
}

TEST(headtable, conversion_of_each_letter)
{
    std::string conversions;
    for (char c = 'A'; c <= 'Z'; c++) conversions += std::string(1, c) + "=" + text_or_null(ft_formattyp(c)) + " ";
    EXPECT_EQ(conversions, "A=s B=ud C=f D=f E=f F=f G=f H=(null) I=d J=d K=(null) L=c M=f N=(null) O=(null) "
                           "P=x Q=(null) R=(null) S=(null) T=(null) U=ud V=ud W=(null) X=x Y=(null) Z=(null) ");
    EXPECT_EQ(text_or_null(ft_formattyp('e')), "(null)");
    EXPECT_EQ(text_or_null(ft_formattyp('\0')), "(null)");
}

TEST(headtable, display_formats)
{
    EXPECT_EQ(format_of('E', 4, 0), "%4.0f");
    EXPECT_EQ(format_of('E', 4, 0, "F10.3"), "%10.3f");
    EXPECT_EQ(format_of('E', 4, 2, "I8"), "%8.2d");
    EXPECT_EQ(format_of('J', 4, 0, "I8"), "%8.1d");
    EXPECT_EQ(format_of('B', 1, 0), "%1.1ud");
    EXPECT_EQ(format_of('A', 20, 20), "%20.20s");
    EXPECT_EQ(format_of('A', 0, 0), "%.0s");
    EXPECT_EQ(format_of('L', 1, 0), "%1c");
    EXPECT_EQ(format_of('X', 2, 0), "%2.1x");
    EXPECT_EQ(format_of('D', 8, 0, "ES12.5"), "%12.5f");
    EXPECT_EQ(format_of('D', 8, 0, "EN12.5"), "%12.5f");
    EXPECT_EQ(format_of('D', 8, 0, "G15.7E3"), "%15.7f");
}

TEST(headtable, display_letters_without_a_conversion)
{
    EXPECT_EQ(format_of('K', 8, 0), "%8.1lld");
    EXPECT_EQ(format_of('J', 4, 0, "Z8"), "%8.1X");
    EXPECT_EQ(format_of('J', 4, 0, "O11"), "%11.1o");
    EXPECT_EQ(format_of('J', 4, 0, "W5"), "%5.1d");   // the column's own conversion
    EXPECT_EQ(format_of('W', 0, 0), "%.1x");          // nothing known: raw hexadecimal
    EXPECT_EQ(format_of(0x100 + 'E', 4, 0), "%4.0f");  // the low byte is the letter
}

TEST(headtable, hostile_tdisp_keeps_the_column_values)
{
    EXPECT_EQ(format_of('E', 4, 0, "F99999999999.3"), "%4.0f");
    EXPECT_EQ(format_of('E', 4, 0, "F12.99999999999"), "%12.0f");
    EXPECT_EQ(format_of('E', 4, 0, "F-3.2"), "%4.0f");
    EXPECT_EQ(format_of('E', 4, 0, ""), "%4.0f");
    EXPECT_EQ(format_of('E', 4, 0, "   "), "%4.0f");
    EXPECT_EQ(format_of('E', 4, 0, "F2147483647.2147483647"), "%2147483647.2147483647f");
    EXPECT_EQ(text_or_null(ft_format(nullptr)), "(null)");
}

TEST(headtable, refresh_copy_and_release)
{
    Head fits = owned_head(bintable({"1J", "1E"}));
    EXPECT_EQ(fits->table, nullptr);  // built card by card: not yet interpreted
    ft_syncdata(fits.get());
    ASSERT_NE(fits->table, nullptr);
    EXPECT_EQ(fits->table->col[1].offset, 4);

    ft_headsets(fits.get(), "TFORM", 1, "2D", nullptr, 0);
    ft_syncdata(fits.get());  // replaces the old description
    EXPECT_EQ(fits->table->col[1].offset, 16);

    Head copy(ft_headcopy(fits.get()));
    ASSERT_NE(copy->table, nullptr);
    EXPECT_EQ(copy->table == fits->table, false);
    EXPECT_EQ(layouts(copy->table), layouts(fits->table));

    ft_headsets(fits.get(), "XTENSION", 0, "IMAGE", nullptr, 0);
    ft_syncdata(fits.get());
    EXPECT_EQ(fits->table, nullptr);
    ft_tablefree(nullptr);
}

TEST(headtable, store_writes_the_basic_description)
{
    Head fits = owned_head(bintable({"1J"}));
    ft_syncdata(fits.get());
    fits->basic->naxis[1] = 7;
    ft_tablestorhead(fits.get(), nullptr);
    EXPECT_EQ(ft_headgeti(fits.get(), "NAXIS2", 0, 0, nullptr), 3);
    ft_tablestorhead(fits.get(), fits->table);
    EXPECT_EQ(ft_headgeti(fits.get(), "NAXIS2", 0, 0, nullptr), 7);
    EXPECT_EQ(ft_headgeti(fits.get(), "TFIELDS", 0, 0, nullptr), 1);
    fits->basic->naxis[1] = 9;
    ft_synchead(fits.get());
    EXPECT_EQ(ft_headgeti(fits.get(), "NAXIS2", 0, 0, nullptr), 9);
}
