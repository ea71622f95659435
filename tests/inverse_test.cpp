#include "fits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// The six elements of a transform in row order, for whole-matrix comparisons.
std::vector<double> elements(const Matrix3 m) { return {m[0][0], m[0][1], m[1][0], m[1][1], m[2][0], m[2][1]}; }

void set(Matrix3 m, std::vector<double> v)
{
    for (int i = 0; i < 6; i++) m[i / 2][i % 2] = v[std::size_t(i)];
}

// in applied to (x, y), then out: the point comes back when out inverts in.
std::vector<double> round_trip(const Matrix3 in, const Matrix3 out, double x, double y)
{
    const double u = x * in[0][0] + y * in[1][0] + in[2][0];
    const double v = x * in[0][1] + y * in[1][1] + in[2][1];
    return {u * out[0][0] + v * out[1][0] + out[2][0], u * out[0][1] + v * out[1][1] + out[2][1]};
}

// ft_inverse of the six elements: its result, and out (prefilled with 7s).
struct Inverted {
    int ok;
    std::vector<double> out;
};
Inverted invert(std::vector<double> v)
{
    Matrix3 in, out;
    set(in, v);
    set(out, {7, 7, 7, 7, 7, 7});
    const int ok = ft_inverse(in, out);
    return {ok, elements(out)};
}

const std::vector<double> kUntouched = {7, 7, 7, 7, 7, 7};

} // namespace

TEST(inverse, scale_and_offset)
{
    const Inverted r = invert({2, 0, 0, 1, 10, 0});
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.out, (std::vector<double>{0.5, 0, 0, 1, -5, 0}));
}

TEST(inverse, identity_and_swap_invert_to_themselves)
{
    EXPECT_EQ(invert({1, 0, 0, 1, 0, 0}).out, (std::vector<double>{1, 0, 0, 1, 0, 0}));
    const Inverted swap = invert({0, 1, 1, 0, 0, 0});  // det -1
    EXPECT_EQ(swap.ok, 1);
    EXPECT_EQ(swap.out, (std::vector<double>{0, 1, 1, 0, 0, 0}));
}

TEST(inverse, general_matrix_by_the_formula)
{
    // a=1 b=2 c=3 d=4: det -2; the offset (5, 6) comes back as (1, -2).
    const Inverted r = invert({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.out, (std::vector<double>{-2, 1, 1.5, -0.5, 1, -2}));
}

TEST(inverse, points_come_back_exactly)
{
    // Powers of two keep every product exact.
    Matrix3 in, out;
    set(in, {2, 1, 0, 4, 3, -8});
    ASSERT_EQ(ft_inverse(in, out), 1);
    for (const auto &p : std::vector<std::vector<double>>{{0, 0}, {3, 4}, {-17.5, 1024}, {1e6, -3}})
        EXPECT_EQ(round_trip(in, out, p[0], p[1]), p);
}

TEST(inverse, singular_matrix_leaves_out_untouched)
{
    const Inverted r = invert({1, 2, 2, 4, 5, 5});
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.out, kUntouched);
    EXPECT_EQ(invert({0, 0, 0, 0, 1, 1}).ok, 0);
}

TEST(inverse, cancellation_threshold_on_both_signs)
{
    // det = +-eps against |a d| + |b c| of about 2: ratio about eps / 2.
    const double below = std::ldexp(1.0, -49);  // ratio 8.9e-16
    const double above = std::ldexp(1.0, -48);  // ratio 1.8e-15
    EXPECT_EQ(invert({1, 1, 1 - std::ldexp(1.0, -53), 1, 0, 0}).ok, 0);  // ratio 5.6e-17
    EXPECT_EQ(invert({1, 1, 1 - below, 1, 0, 0}).out, kUntouched);
    EXPECT_EQ(invert({1, 1, 1 - above, 1, 0, 0}).ok, 1);
    EXPECT_EQ(invert({1, 1, 1, 1 - below, 0, 0}).ok, 0);  // det negative
    EXPECT_EQ(invert({1, 1, 1, 1 - above, 0, 0}).ok, 1);
}

TEST(inverse, tiny_but_clean_determinant_inverts)
{
    // No cancellation: a small scale is a valid transform.
    const Inverted r = invert({std::ldexp(1.0, -60), 0, 0, std::ldexp(1.0, -60), 0, 0});
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.out[0], std::ldexp(1.0, 60));
}

TEST(inverse, non_finite_matrix_or_inverse_refused)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(invert({nan, 0, 0, 1, 0, 0}).out, kUntouched);
    EXPECT_EQ(invert({inf, 0, 0, 1, 0, 0}).out, kUntouched);
    EXPECT_EQ(invert({1e200, 0, 0, 1e200, 0, 0}).out, kUntouched);  // det overflows
    EXPECT_EQ(invert({1e-160, 0, 0, 1e-160, 0, 0}).out, kUntouched);  // 1 / det overflows
    EXPECT_EQ(invert({1, 0, 0, 1, nan, 0}).out, kUntouched);
}
