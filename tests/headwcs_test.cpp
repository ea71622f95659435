#include "head_cards.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

_FITSLinWCS transform(std::vector<double> fwd, int has_wcs = 1)
{
    _FITSLinWCS lcs{};
    lcs.has_wcs = has_wcs;
    for (int i = 0; i < 6; i++) lcs.fwd[i / 2][i % 2] = fwd[std::size_t(i)];
    ft_inverse(lcs.fwd, lcs.rev);
    return lcs;
}

struct Moved {
    int applied;
    double x, y;
    bool operator==(const Moved &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Moved &m)
{
    return os << m.applied << " (" << m.x << ", " << m.y << ")";
}

Moved point(_FITSLinWCS lcs, double x, double y, int direction)
{
    Moved m{};
    m.applied = ft_trxlcs(&lcs, x, y, &m.x, &m.y, direction);
    return m;
}

Moved size(_FITSLinWCS lcs, double x, double y, int direction)
{
    Moved m{};
    m.applied = ft_trxsiz(&lcs, x, y, &m.x, &m.y, direction);
    return m;
}

// text right-justified in columns 11-30 after "NAME    = ".
std::string real_card(const char *name, const char *value)
{
    std::string key = padded(name, 8) + "= ";
    const std::string v(value);
    return padded(key + blanks(v.size() < 20 ? 20 - v.size() : 0) + v);
}

} // namespace

TEST(headwcs, without_transform_points_and_sizes_pass)
{
    const _FITSLinWCS off = transform({2, 0, 0, 1, 10, 0}, 0);
    EXPECT_EQ(point(off, 3, 4, 1), (Moved{0, 3, 4}));
    EXPECT_EQ(point(off, 3, 4, 0), (Moved{0, 3, 4}));
    EXPECT_EQ(size(off, 3, 4, 1), (Moved{0, 3, 4}));
    double x = 0, y = 0;
    EXPECT_EQ(ft_trxlcs(nullptr, 5, 6, &x, &y, 1), 0);
    EXPECT_EQ((Moved{0, x, y}), (Moved{0, 5, 6}));
}

TEST(headwcs, identity_applies_unchanged)
{
    EXPECT_EQ(point(transform({1, 0, 0, 1, 0, 0}), -2.5, 7, 1), (Moved{1, -2.5, 7}));
}

TEST(headwcs, scale_offset_forward_and_back)
{
    const _FITSLinWCS lcs = transform({2, 0, 0, 1, 10, 0});
    EXPECT_EQ(point(lcs, 3, 4, 1), (Moved{1, 16, 4}));
    EXPECT_EQ(point(lcs, 16, 4, 0), (Moved{1, 3, 4}));
    EXPECT_EQ(size(lcs, 3, 4, 1), (Moved{1, 6, 4}));
    EXPECT_EQ(size(lcs, 6, 4, 0), (Moved{1, 3, 4}));
}

TEST(headwcs, rows_multiply_x_and_y)
{
    // LTM2_1 = 1 is fwd[1][0]: x' = x + y.
    EXPECT_EQ(point(transform({1, 0, 1, 1, 0, 0}), 3, 4, 1), (Moved{1, 7, 4}));
    // LTM1_2 = 1 is fwd[0][1]: y' = x + y.
    EXPECT_EQ(point(transform({1, 1, 0, 1, 0, 0}), 3, 4, 1), (Moved{1, 3, 7}));
}

TEST(headwcs, size_ignores_shear_and_offset_and_keeps_sign)
{
    const _FITSLinWCS lcs = transform({-2, 5, 5, 3, 100, 200});
    EXPECT_EQ(size(lcs, 3, 4, 1), (Moved{1, -6, 12}));
}

TEST(headwcs, outputs_may_be_the_inputs)
{
    _FITSLinWCS lcs = transform({2, 0, 1, 1, 10, 0});
    double x = 3, y = 4;
    EXPECT_EQ(ft_trxlcs(&lcs, x, y, &x, &y, 1), 1);
    EXPECT_EQ((Moved{1, x, y}), (Moved{1, 20, 4}));  // x' uses the old y
    EXPECT_EQ(ft_trxsiz(&lcs, x, y, &x, &y, 1), 1);
    EXPECT_EQ((Moved{1, x, y}), (Moved{1, 40, 4}));
}

TEST(headwcs, singular_transform_reverses_to_origin)
{
    const _FITSLinWCS lcs = transform({1, 2, 2, 4, 5, 5});  // rev stays all zero
    EXPECT_EQ(point(lcs, 3, 4, 0), (Moved{1, 0, 0}));
}

TEST(headwcs, logical_transform_writes_only_what_differs)
{
    Head fits = owned_head({"LTV1    =                    5"});
    ft_loglcs(fits.get(), 1, 0, 0, 1, 0, 0);
    EXPECT_EQ(fits->ncard, 2);
    EXPECT_EQ(card_text(fits->cards), padded("LTV1    =                    5"));  // kept, not removed

    ft_loglcs(fits.get(), 2, 0, 0.5, 1, 0, -3);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"LTV1", "LTM1_1", "LTM2_1", "LTV2", "END"}));
    EXPECT_EQ(card_text(fits->cards + 1), real_card("LTM1_1", "2.0000000"));
    EXPECT_EQ(card_text(fits->cards + 2), real_card("LTM2_1", "0.5000000"));
    EXPECT_EQ(card_text(fits->cards + 3), real_card("LTV2", "-3.0000000"));
}

TEST(headwcs, logical_transform_rewrites_existing_cards)
{
    Head fits = owned_head({"LTM1_1  =                    3 / old", "LTM1_2  =                    1"});
    ft_loglcs(fits.get(), 4, 0, 0, 1, 0, 0);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"LTM1_1", "LTM1_2", "END"}));
    EXPECT_EQ(card_text(fits->cards), real_card("LTM1_1", "4.0000000"));  // no comment
    EXPECT_EQ(card_text(fits->cards + 1), padded("LTM1_2  =                    1"));
}

TEST(headwcs, nan_differs_from_every_default)
{
    Head fits = owned_head({});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ft_loglcs(fits.get(), nan, 0, 0, 1, 0, 0);
    ASSERT_EQ(fits->ncard, 2);
    FITSCard card = nullptr;
    EXPECT_EQ(std::isnan(ft_headgetr(fits.get(), "LTM1_1", 0, 1.0, &card)), true);
    EXPECT_EQ(card, fits->cards);
}

TEST(headwcs, linear_wcs_identity_writes_types_only)
{
    Head fits = owned_head({});
    ft_wcslcs(fits.get(), 1, 0, 0, 1, 0, 0, 0, 0, nullptr, nullptr);
    EXPECT_EQ(keywords(fits.get()), (std::vector<std::string>{"CTYPE1", "CTYPE2", "END"}));
    EXPECT_EQ(card_text(fits->cards), padded("CTYPE1  = 'LINEAR            '"));
    EXPECT_EQ(card_text(fits->cards + 1), padded("CTYPE2  = 'LINEAR            '"));
}

TEST(headwcs, linear_wcs_every_keyword)
{
    Head fits = owned_head({"OBJECT  = 'M31     '"});
    ft_wcslcs(fits.get(), 0.5, 0.25, -0.25, 2, 10, 20, 512, 1024, "deg", "arcsec");
    // Each family's second member goes after its first.
    EXPECT_EQ(keywords(fits.get()),
              (std::vector<std::string>{"OBJECT", "CTYPE1", "CTYPE2", "CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2", "CUNIT1",
                                        "CUNIT2", "CD1_1", "CD1_2", "CD2_1", "CD2_2", "END"}));
    EXPECT_EQ(card_text(fits->cards + 3), real_card("CRVAL1", "10.0000000"));
    EXPECT_EQ(card_text(fits->cards + 6), real_card("CRPIX2", "1024.0000000"));
    EXPECT_EQ(card_text(fits->cards + 8), padded("CUNIT2  = 'arcsec            '"));
    EXPECT_EQ(card_text(fits->cards + 11), real_card("CD2_1", "-0.2500000"));
}

TEST(headwcs, small_scales_keep_every_digit)
{
    // One arcsecond in degrees: seven decimals would write 0.0002778.
    const double cd = 1.0 / 3600.0;
    const double tiny = 1.5e-300;
    Head fits = owned_head({});
    ft_wcslcs(fits.get(), cd, tiny, 0, 1, 0, 0, 0, 0, nullptr, nullptr);
    EXPECT_EQ(ft_headgetr(fits.get(), "CD1_1", 0, 0.0, nullptr), cd);
    EXPECT_EQ(ft_headgetr(fits.get(), "CD1_2", 0, 0.0, nullptr), tiny);
    EXPECT_EQ(card_text(ft_headfind(fits.get(), "CD1_1", 0, 0)),
              real_card("CD1_1", "0.0002777777777777778"));
}

TEST(headwcs, writers_ignore_null_header)
{
    ft_loglcs(nullptr, 2, 0, 0, 1, 0, 0);
    ft_wcslcs(nullptr, 2, 0, 0, 1, 0, 0, 0, 0, "deg", "deg");
    Head fits = owned_head({});
    EXPECT_EQ(fits->ncard, 1);
}
