#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string int_card(const std::string &name, long long v)
{
    const std::string text = std::to_string(v);
    return padded(padded(name, 8) + "= " + blanks(text.size() < 20 ? 20 - text.size() : 0) + text);
}

// A primary header from its layout: BITPIX, then NAXIS and the axes.
std::vector<std::string> primary(int bitpix, std::vector<long long> axes, std::vector<std::string> more = {})
{
    std::vector<std::string> texts = {"SIMPLE  =                    T", int_card("BITPIX", bitpix),
                                      int_card("NAXIS", (long long)axes.size())};
    for (std::size_t i = 0; i < axes.size(); i++) texts.push_back(int_card("NAXIS" + std::to_string(i + 1), axes[i]));
    texts.insert(texts.end(), more.begin(), more.end());
    return texts;
}

// A header viewed in place over its cards in whole blocks, interpreted as a read one is.
struct Viewed {
    std::vector<FITSBuff> cards;
    Head fits;
    explicit Viewed(const std::vector<std::string> &texts) : cards(block_cards(texts)), fits(viewed_head(cards)) {}
    FITSHead get() const { return fits.get(); }
    FITSBasic basic() const { return fits->basic; }
    FITSImage image() const { return fits->image; }
};

struct Sizes {
    int64_t datapixls, databytes, databloks, row_bytes;
    bool operator==(const Sizes &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Sizes &s)
{
    return os << s.datapixls << " px " << s.databytes << " B " << s.databloks << " blocks " << s.row_bytes << " B/row";
}

Sizes sizes_of(const std::vector<std::string> &texts)
{
    Viewed v(texts);
    if (!v.basic()) return {-1, -1, -1, -1};
    return {v.basic()->datapixls, v.basic()->databytes, v.basic()->databloks, v.basic()->row_bytes};
}

const Sizes kNone = {-1, -1, -1, -1};

std::vector<double> elements(const Matrix3 m) { return {m[0][0], m[0][1], m[1][0], m[1][1], m[2][0], m[2][1]}; }
const std::vector<double> kIdentity = {1, 0, 0, 1, 0, 0};

std::string text_or_null(const char *s) { return s ? s : "(null)"; }

} // namespace

TEST(headimage, sizes_of_a_float_image)
{
    EXPECT_EQ(sizes_of(primary(-32, {100, 50})), (Sizes{5000, 20000, 7, 400}));
}

TEST(headimage, sizes_for_each_bitpix)
{
    struct Case {
        int bitpix;
        int64_t width;
    };
    for (const Case c : {Case{8, 1}, Case{16, 2}, Case{32, 4}, Case{64, 8}, Case{-32, 4}, Case{-64, 8}}) {
        SCOPED_TRACE(c.bitpix);
        EXPECT_EQ(sizes_of(primary(c.bitpix, {2880, 3})), (Sizes{8640, 8640 * c.width, 3 * c.width, 2880 * c.width}));
    }
}

TEST(headimage, block_edges)
{
    EXPECT_EQ(sizes_of(primary(8, {2880})), (Sizes{2880, 2880, 1, 2880}));
    EXPECT_EQ(sizes_of(primary(8, {2881})), (Sizes{2881, 2881, 2, 2881}));
    EXPECT_EQ(sizes_of(primary(8, {1})), (Sizes{1, 1, 1, 1}));
    EXPECT_EQ(sizes_of(primary(8, {100, 0})), (Sizes{0, 0, 0, 100}));
}

TEST(headimage, no_axes_no_data_but_an_image)
{
    Viewed v(primary(16, {}));
    ASSERT_NE(v.basic(), nullptr);
    EXPECT_EQ((Sizes{v.basic()->datapixls, v.basic()->databytes, v.basic()->databloks, v.basic()->row_bytes}),
              (Sizes{0, 0, 0, 0}));
    EXPECT_NE(v.image(), nullptr);
}

TEST(headimage, defaults_of_a_bare_header)
{
    Viewed v({"XTENSION= 'IMAGE   '"});
    ASSERT_NE(v.basic(), nullptr);
    const _FITSBasic &b = *v.basic();
    EXPECT_EQ(b.simple, 0);
    EXPECT_EQ(b.bitpix, 0);
    EXPECT_EQ(b.naxes, 0);
    EXPECT_EQ(b.gcount, 1);
    EXPECT_EQ(b.pcount, 0);
    EXPECT_EQ(b.extn, 0);
    EXPECT_EQ(text_or_null(b.name), "None");
    EXPECT_EQ(text_or_null(b.hduname), "None");
}

TEST(headimage, names_of_primary_and_extension)
{
    Viewed prim({"SIMPLE  =                    T", "EXTNAME = 'SCI     '", "EXTVER  =                    3"});
    EXPECT_EQ(text_or_null(prim.basic()->name), "primary");
    EXPECT_EQ(text_or_null(prim.basic()->hduname), "(null)");
    EXPECT_EQ(prim.basic()->extn, 0);
    EXPECT_EQ(prim.basic()->simple, 1);
    Viewed ext({"XTENSION= 'IMAGE   '", "EXTNAME = 'SCI     '", "HDUNAME = 'ccd2'", "EXTVER  =                    3"});
    EXPECT_EQ(text_or_null(ext.basic()->name), "SCI");
    EXPECT_EQ(text_or_null(ext.basic()->hduname), "ccd2");
    EXPECT_EQ(ext.basic()->extn, 3);
}

TEST(headimage, axis_count_limits)
{
    EXPECT_EQ(sizes_of(primary(8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), (Sizes{3628800, 3628800, 1260, 1}));
    Viewed eleven(primary(8, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(eleven.basic(), nullptr);
    EXPECT_EQ(eleven.image(), nullptr);
    EXPECT_EQ(sizes_of({"SIMPLE  =                    T", "NAXIS   =                   -1"}), kNone);
}

TEST(headimage, gcount_and_pcount)
{
    // (100 + 20) * 3 pixels of 2 bytes.
    EXPECT_EQ(sizes_of(primary(16, {100}, {"PCOUNT  =                   20", "GCOUNT  =                    3"})),
              (Sizes{360, 720, 1, 200}));
    EXPECT_EQ(sizes_of(primary(16, {100}, {"GCOUNT  =                    0"})), (Sizes{0, 0, 0, 200}));
}

TEST(headimage, negative_counts_give_no_description)
{
    EXPECT_EQ(sizes_of(primary(16, {100, -1})), kNone);
    EXPECT_EQ(sizes_of(primary(16, {100}, {"PCOUNT  =                   -1"})), kNone);
    EXPECT_EQ(sizes_of(primary(16, {100}, {"GCOUNT  =                   -2"})), kNone);
}

TEST(headimage, units_of_two_gigabytes_and_more)
{
    // 10^10 doubles: 8e10 bytes, 27777778 blocks (the last one partly filled).
    EXPECT_EQ(sizes_of(primary(-64, {100000, 100000})), (Sizes{10000000000, 80000000000, 27777778, 800000}));
    EXPECT_EQ(sizes_of(primary(8, {2147483647, 2})), (Sizes{4294967294, 4294967294, 1491309, 2147483647}));
}

TEST(headimage, sizes_that_overflow_give_no_description)
{
    EXPECT_EQ(sizes_of(primary(8, {2147483647, 2147483647, 2147483647})), kNone);
    EXPECT_EQ(sizes_of(primary(-64, {2147483647, 2147483647, 2})), kNone);  // only the bytes overflow
    // 454279 * 31252369 * 649657 is INT64_MAX itself: the byte count fits, its blocks do not.
    EXPECT_EQ(sizes_of(primary(8, {454279, 31252369, 649657})), kNone);
    EXPECT_EQ(sizes_of(primary(8, {454279, 31252369, 649656})),
              (Sizes{9223357839559838856, 9223357839559838856, 3202554805402722, 454279}));
}

// Random groups (GROUPS = T and NAXIS1 = 0 in a primary header): GCOUNT groups of
// PCOUNT parameters and a NAXIS2 x ... x NAXISn array, without NAXIS1's zero.
TEST(headimage, random_groups_sizes)
{
    const std::vector<std::string> groups = {"GROUPS  =                    T", "PCOUNT  =                    3",
                                             "GCOUNT  =                    7"};
    // 7 x (3 + 4 x 5) elements of 4 bytes; PCOUNT x GCOUNT alone would be 21.
    EXPECT_EQ(sizes_of(primary(-32, {0, 4, 5}, groups)), (Sizes{161, 644, 1, 0}));
    EXPECT_EQ(sizes_of(primary(16, {0, 2880}, groups)), (Sizes{20181, 40362, 15, 0}));
    // With no axis after NAXIS1 each group holds its parameters and one element, as
    // CFITSIO counts them.
    EXPECT_EQ(sizes_of(primary(16, {0}, groups)), (Sizes{28, 56, 1, 0}));
    // Not random groups: GROUPS = F, a NAXIS1 that is not 0, or an extension.
    std::vector<std::string> plain = groups;
    plain[0] = "GROUPS  =                    F";
    EXPECT_EQ(sizes_of(primary(-32, {0, 4, 5}, plain)), (Sizes{21, 84, 1, 0}));
    EXPECT_EQ(sizes_of(primary(-32, {2, 4, 5}, groups)), (Sizes{301, 1204, 1, 8}));
    std::vector<std::string> extension = primary(8, {0, 100}, groups);
    extension[0] = "XTENSION= 'BINTABLE'";
    EXPECT_EQ(sizes_of(extension), (Sizes{21, 21, 1, 0}));
    // GCOUNT 0 holds nothing; sizes beyond int64_t are no description.
    EXPECT_EQ(sizes_of(primary(-32, {0, 4, 5}, {groups[0], groups[1], "GCOUNT  =                    0"})),
              (Sizes{0, 0, 0, 0}));
    EXPECT_EQ(sizes_of(primary(-64, {0, 2147483647, 2147483647}, groups)), kNone);
    EXPECT_EQ(sizes_of(primary(8, {0, 2147483647, 2147483647}, {groups[0], groups[1], "GCOUNT  =           2147483647"})),
              kNone);
}

TEST(headimage, image_only_for_primary_and_image_extensions)
{
    EXPECT_NE(Viewed({"XTENSION= 'IMAGE   '"}).image(), nullptr);
    EXPECT_EQ(Viewed({"XTENSION= 'BINTABLE'"}).image(), nullptr);
    EXPECT_EQ(Viewed({"XTENSION= 'TABLE   '"}).image(), nullptr);
    EXPECT_EQ(Viewed({"XTENSION= 'image   '"}).image(), nullptr);
    EXPECT_EQ(Viewed({"SIMPLE  =                    F"}).image(), nullptr);
    EXPECT_NE(Viewed({"SIMPLE  =                    F"}).basic(), nullptr);
}

TEST(headimage, scaling_and_blank)
{
    Viewed plain(primary(16, {10}, {"BSCALE  =                  1.0", "BZERO   =                  0.0"}));
    EXPECT_EQ(plain.image()->has_bscale, 0);
    EXPECT_EQ(plain.image()->has_bzero, 0);
    EXPECT_EQ(plain.image()->has_blank, 0);
    EXPECT_EQ(plain.image()->dbscale, 1.0);

    Viewed scaled(primary(16, {10}, {"BSCALE  =                  2.5", "BZERO   =                32768",
                                     "BLANK   =               -32768"}));
    EXPECT_EQ(scaled.image()->has_bscale, 1);
    EXPECT_EQ(scaled.image()->dbscale, 2.5);
    EXPECT_EQ(scaled.image()->has_bzero, 1);
    EXPECT_EQ(scaled.image()->dbzero, 32768.0);
    EXPECT_EQ(scaled.image()->has_blank, 1);
    EXPECT_EQ(scaled.image()->blank, -32768);

    Viewed zero_blank(primary(16, {10}, {"BLANK   =                    0"}));
    EXPECT_EQ(zero_blank.image()->has_blank, 1);
}

TEST(headimage, transforms_default_to_identity)
{
    Viewed v(primary(16, {10}));
    for (const _FITSLinWCS *lcs : {&v.image()->log, &v.image()->det, &v.image()->amp}) {
        EXPECT_EQ(lcs->has_wcs, 1);
        EXPECT_EQ(elements(lcs->fwd), kIdentity);
        EXPECT_EQ(elements(lcs->rev), kIdentity);
    }
}

TEST(headimage, transform_keywords_to_elements)
{
    Viewed v(primary(16, {10}, {"LTM1_1  =                    2", "LTV1    =                   10",
                                "DTM1_2  =                    3", "DTM2_1  =                    4",
                                "DTM2_2  =                    5", "ATV2    =                   -7",
                                "ATM1_1  =                   -1"}));
    EXPECT_EQ(elements(v.image()->log.fwd), (std::vector<double>{2, 0, 0, 1, 10, 0}));
    EXPECT_EQ(elements(v.image()->log.rev), (std::vector<double>{0.5, 0, 0, 1, -5, 0}));
    EXPECT_EQ(elements(v.image()->det.fwd), (std::vector<double>{1, 3, 4, 5, 0, 0}));
    EXPECT_EQ(elements(v.image()->amp.fwd), (std::vector<double>{-1, 0, 0, 1, 0, -7}));
    EXPECT_EQ(elements(v.image()->amp.rev), (std::vector<double>{-1, 0, 0, 1, 0, 7}));
}

TEST(headimage, singular_transform_kept_with_zero_reverse)
{
    Viewed v(primary(16, {10}, {"LTM1_1  =                    1", "LTM1_2  =                    2",
                                "LTM2_1  =                    2", "LTM2_2  =                    4"}));
    EXPECT_EQ(v.image()->log.has_wcs, 1);
    EXPECT_EQ(elements(v.image()->log.rev), (std::vector<double>{0, 0, 0, 0, 0, 0}));
}

TEST(headimage, store_basic_into_a_primary)
{
    Head fits = owned_head({"BITPIX  =                    8 / old", "NAXIS   =                    3",
                            "NAXIS1  =                    1", "NAXIS2  =                    1",
                            "NAXIS3  =                    1", "OBJECT  = 'M31     '"});
    _FITSBasic b{};
    b.bitpix = -32;
    b.naxes = 2;
    b.naxis[0] = 100;
    b.naxis[1] = 50;
    b.gcount = 1;
    ft_basicstorhead(fits.get(), &b);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "OBJECT",
                                                              "SIMPLE", "GCOUNT", "PCOUNT", "END"}));
    EXPECT_EQ(card_text(fits->cards), int_card("BITPIX", -32));
    EXPECT_EQ(card_text(fits->cards + 1), int_card("NAXIS", 2));
    EXPECT_EQ(card_text(fits->cards + 2), int_card("NAXIS1", 100));
    EXPECT_EQ(card_text(fits->cards + 3), int_card("NAXIS2", 50));
    EXPECT_EQ(card_text(fits->cards + 5), padded("SIMPLE  =                    T"));
    EXPECT_EQ(card_text(fits->cards + 6), int_card("GCOUNT", 1));
    EXPECT_EQ(card_text(fits->cards + 7), int_card("PCOUNT", 0));
}

TEST(headimage, store_basic_into_an_extension_adds_axes)
{
    Head fits = owned_head({"XTENSION= 'IMAGE   '", "BITPIX  =                   16", "NAXIS   =                    1",
                            "NAXIS1  =                    5", "PCOUNT  =                    0",
                            "GCOUNT  =                    1", "EXTNAME = 'SCI     '"});
    _FITSBasic b{};
    b.bitpix = 16;
    b.naxes = 3;
    b.naxis[0] = 5;
    b.naxis[1] = 6;
    b.naxis[2] = 7;
    b.gcount = 1;
    ft_basicstorhead(fits.get(), &b);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"XTENSION", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2",
                                                              "NAXIS3", "PCOUNT", "GCOUNT", "EXTNAME", "END"}));
    EXPECT_EQ(card_text(fits->cards + 4), int_card("NAXIS2", 6));
    EXPECT_EQ(card_text(fits->cards + 5), int_card("NAXIS3", 7));
}

TEST(headimage, store_basic_round_trip)
{
    Viewed v(primary(-64, {7, 9, 11}, {"GCOUNT  =                    2", "PCOUNT  =                    4"}));
    Head fits = owned_head({});
    ft_basicstorhead(fits.get(), v.basic());
    ft_syncdata(fits.get());
    ASSERT_NE(fits->basic, nullptr);
    const _FITSBasic &a = *v.basic(), &b = *fits->basic;
    EXPECT_EQ((std::vector<int64_t>{b.simple, b.bitpix, b.naxes, b.naxis[0], b.naxis[1], b.naxis[2], b.naxis[3],
                                    b.gcount, b.pcount, b.datapixls, b.databytes, b.databloks, b.row_bytes}),
              (std::vector<int64_t>{a.simple, a.bitpix, a.naxes, a.naxis[0], a.naxis[1], a.naxis[2], a.naxis[3],
                                    a.gcount, a.pcount, a.datapixls, a.databytes, a.databloks, a.row_bytes}));
}

TEST(headimage, store_image_scaling_blank_and_transforms_in_order)
{
    Head fits = owned_head(primary(16, {10}));
    ft_syncdata(fits.get());
    _FITSImage image{};
    image.has_blank = 1;
    image.blank = -1;
    image.has_bzero = 1;
    image.dbzero = 32768;
    image.has_bscale = 1;
    image.dbscale = 1.5e-10;  // seven decimals would write 0
    image.log.has_wcs = 1;
    image.log.fwd[0][0] = 2;
    image.log.fwd[1][1] = 1;
    image.log.fwd[2][0] = 10;
    image.amp.has_wcs = 1;
    image.amp.fwd[0][0] = 1;
    image.amp.fwd[1][1] = -1;
    ft_imagestorhead(fits.get(), &image);
    const std::vector<std::string> keys = keywords(fits.get());
    EXPECT_EQ(std::vector<std::string>(keys.begin() + 4, keys.end()),
              (std::vector<std::string>{"BLANK", "BZERO", "BSCALE", "LTM1_1", "LTM1_2", "LTM2_1", "LTM2_2", "LTV1",
                                        "LTV2", "ATM1_1", "ATM1_2", "ATM2_1", "ATM2_2", "ATV1", "ATV2", "END"}));
    EXPECT_EQ(card_text(fits->cards + 4), int_card("BLANK", -1));
    EXPECT_EQ(card_text(fits->cards + 5), padded("BZERO   =        32768.0000000"));
    EXPECT_EQ(card_text(fits->cards + 6), padded("BSCALE  =        0.00000000015"));
    EXPECT_EQ(card_text(fits->cards + 11), padded("LTV1    =           10.0000000"));
    ft_syncdata(fits.get());
    EXPECT_EQ(fits->image->dbscale, 1.5e-10);
    EXPECT_EQ(elements(fits->image->amp.fwd), (std::vector<double>{1, 0, 0, -1, 0, 0}));
    EXPECT_EQ(fits->image->det.has_wcs, 1);  // the identity, from no keywords
}

TEST(headimage, store_image_blank_for_integer_data_only)
{
    Head fits = owned_head(primary(-32, {10}, {"BLANK   =                    5"}));
    ft_syncdata(fits.get());
    fits->image->blank = 7;
    ft_imagestorhead(fits.get(), fits->image);
    EXPECT_EQ(ft_headgeti(fits.get(), "BLANK", 0, 0, nullptr), 5);  // left as it was
    fits->image->has_blank = 0;
    fits->basic->bitpix = 16;
    ft_imagestorhead(fits.get(), fits->image);
    EXPECT_EQ(ft_headgeti(fits.get(), "BLANK", 0, 0, nullptr), 5);  // never removed
}

TEST(headimage, sync_reloads_and_stores_descriptions)
{
    Head fits = owned_head(primary(8, {10, 20}));
    ft_syncdata(fits.get());
    ft_headseti(fits.get(), "NAXIS", 2, 30, nullptr, 0);
    EXPECT_EQ(fits->basic->naxis[1], 20);  // editing does not renew it
    ft_syncdata(fits.get());
    EXPECT_EQ(fits->basic->naxis[1], 30);
    EXPECT_EQ(fits->basic->databytes, 300);
    EXPECT_EQ(fits->table, nullptr);

    fits->basic->naxis[0] = 12;
    fits->image->has_bzero = 1;
    fits->image->dbzero = -1;
    ft_synchead(fits.get());
    EXPECT_EQ(card_text(ft_headfind(fits.get(), "NAXIS", 1, 0)), int_card("NAXIS1", 12));
    EXPECT_EQ(ft_headgetr(fits.get(), "BZERO", 0, 0.0, nullptr), -1.0);
    ft_synchead(nullptr);
    ft_syncdata(nullptr);
}

TEST(headimage, null_arguments)
{
    EXPECT_EQ(ft_basicloadhead(nullptr), nullptr);
    EXPECT_EQ(ft_imageloadhead(nullptr), nullptr);
    Head fits = owned_head({"SIMPLE  =                    T"});
    EXPECT_EQ(ft_imageloadhead(fits.get()), nullptr);  // no basic description yet
    ft_basicstorhead(fits.get(), nullptr);
    ft_imagestorhead(fits.get(), nullptr);
    EXPECT_EQ(fits->ncard, 2);
    ft_basicfree(nullptr);
    ft_imagefree(nullptr);
}
