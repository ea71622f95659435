#include "lfit3.h"
#include "lufit.h"
#include "tsutil.h"

#include "fatal_exit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// y = 2 - 3t + 0.5t^2 sampled at t = 0..n-1, basis rows 1, t, t^2.
struct Quadratic {
    static constexpr int ma = 3;
    int n;
    double **X;
    double *y, *w, *a;
    int *lista;
    // The blocks' first elements: the 1-based references point before them, and a
    // child that dies in a test must still show these blocks as reachable.
    std::vector<void *> blocks;

    explicit Quadratic(int npoints) : n(npoints)
    {
        X = matrix(1, ma, 1, n);
        y = vector(1, n);
        w = vector(1, n);
        a = vector(1, ma);
        lista = ivector(1, ma);
        blocks = {&X[1], &X[1][1], &X[2][1], &X[3][1], &y[1], &w[1], &a[1], &lista[1]};
        for (int i = 1; i <= n; i++) {
            const double t = i - 1;
            X[1][i] = 1.0;
            X[2][i] = t;
            X[3][i] = t * t;
            y[i] = 2.0 - 3.0 * t + 0.5 * t * t;
            w[i] = 1.0;
        }
        for (int j = 1; j <= ma; j++) {
            lista[j] = j;
            a[j] = 0.0;
        }
    }
    ~Quadratic()
    {
        free_ivector(lista, 1, ma);
        free_vector(a, 1, ma);
        free_vector(w, 1, n);
        free_vector(y, 1, n);
        free_matrix(X, 1, ma, 1, n);
    }
    double fit(int mfit)
    {
        double chisq = -1.0;
        lfit3(X, y, w, n, a, ma, lista, mfit, &chisq);
        return chisq;
    }
};

} // namespace

TEST(lufit, lfit3_recovers_exact_polynomial)
{
    Quadratic q(10);
    const double chisq = q.fit(3);
    EXPECT_NEAR(q.a[1], 2.0, 1e-12);
    EXPECT_NEAR(q.a[2], -3.0, 1e-12);
    EXPECT_NEAR(q.a[3], 0.5, 1e-13);
    EXPECT_NEAR(chisq, 0.0, 1e-20);
}

TEST(lufit, lfit3_chisq_is_plain_sum_of_squares_with_unit_weights)
{
    Quadratic q(6);
    q.y[3] += 1.0; // one residual, spread by the fit over the others
    const double chisq = q.fit(3);
    double sum = 0.0;
    for (int i = 1; i <= q.n; i++) {
        const double r = q.y[i] - (q.a[1] * q.X[1][i] + q.a[2] * q.X[2][i] + q.a[3] * q.X[3][i]);
        sum += r * r;
    }
    EXPECT_NEAR(chisq, sum, 1e-14);
    EXPECT_GT(chisq, 0.1);
}

TEST(lufit, lfit3_zero_weight_points_have_no_influence)
{
    Quadratic plain(8), padded(11);
    for (int i = 9; i <= 11; i++) {
        padded.y[i] = 1e6 * i;
        padded.X[2][i] = -77.0;
        padded.w[i] = 0.0;
    }
    const double c1 = plain.fit(3);
    const double c2 = padded.fit(3);
    EXPECT_EQ(padded.a[1], plain.a[1]);
    EXPECT_EQ(padded.a[2], plain.a[2]);
    EXPECT_EQ(padded.a[3], plain.a[3]);
    EXPECT_EQ(c2, c1);
}

TEST(lufit, lfit3_holds_parameters_outside_the_list)
{
    Quadratic q(10);
    q.lista[1] = 3;
    q.lista[2] = 1;
    q.a[2] = -3.0;
    const double chisq = q.fit(2);
    EXPECT_NEAR(q.a[1], 2.0, 1e-12);
    EXPECT_NEAR(q.a[3], 0.5, 1e-13);
    EXPECT_EQ(q.a[2], -3.0);
    EXPECT_EQ(q.lista[3], 2);
    EXPECT_NEAR(chisq, 0.0, 1e-18);

    // A held value that is wrong shows in chisq, which sums over every parameter.
    Quadratic h(10);
    h.lista[1] = 1;
    h.lista[2] = 3;
    h.a[2] = -2.0;
    const double off = h.fit(2);
    double sum = 0.0;
    for (int i = 1; i <= h.n; i++) {
        const double r = h.y[i] - (h.a[1] * h.X[1][i] + h.a[2] * h.X[2][i] + h.a[3] * h.X[3][i]);
        sum += r * r;
    }
    EXPECT_NEAR(off, sum, 1e-9);
    EXPECT_GT(off, 1.0);
}

TEST(lufit, lfit3_completes_list_in_ascending_order)
{
    const int ma = 5, n = 6;
    double **X = matrix(1, ma, 1, n);
    double *y = vector(1, n), *w = vector(1, n), *a = vector(1, ma);
    int *lista = ivector(1, ma);
    for (int i = 1; i <= n; i++) {
        for (int j = 1; j <= ma; j++) X[j][i] = std::pow(double(i), j - 1);
        y[i] = i;
        w[i] = 1.0;
    }
    for (int j = 1; j <= ma; j++) a[j] = 0.0;
    lista[1] = 4;
    lista[2] = 2;
    double chisq;
    lfit3(X, y, w, n, a, ma, lista, 2, &chisq);
    EXPECT_EQ(lista[3], 1);
    EXPECT_EQ(lista[4], 3);
    EXPECT_EQ(lista[5], 5);
    free_ivector(lista, 1, ma);
    free_vector(a, 1, ma);
    free_vector(w, 1, n);
    free_vector(y, 1, n);
    free_matrix(X, 1, ma, 1, n);
}

TEST(lufit, lfit3_refuses_bad_lists)
{
    {
        Quadratic q(5);
        q.lista[1] = 2;
        q.lista[2] = 2;
        EXPECT_FATAL(q.fit(2), "Bad LISTA permutation in LFIT-1");
    }
    {
        // An entry outside 1..ma would make the completion run past lista[ma].
        Quadratic q(5);
        q.lista[1] = 1;
        q.lista[2] = 7;
        EXPECT_FATAL(q.fit(2), "Bad LISTA permutation in LFIT-2");
        q.lista[1] = 0;
        q.lista[2] = -1;
        q.lista[3] = 9;
        EXPECT_FATAL(q.fit(3), "Bad LISTA permutation in LFIT-2");
    }
}

TEST(lufit, lfit3_with_no_weight_is_singular)
{
    Quadratic q(5);
    for (int i = 1; i <= q.n; i++) q.w[i] = 0.0;
    EXPECT_FATAL(q.fit(3), "Singular matrix in routine LUDCMP");
}

TEST(lufit, ludcmp_ties_go_to_the_later_row)
{
    double **a = matrix(1, 2, 1, 2);
    int *indx = ivector(1, 2);
    a[1][1] = 2.0;
    a[1][2] = 1.0;
    a[2][1] = 2.0;
    a[2][2] = 1.5;
    double d = 0.0;
    ludcmp(a, 2, indx, &d);
    EXPECT_EQ(indx[1], 2);
    EXPECT_EQ(indx[2], 2);
    EXPECT_EQ(d, -1.0);
    EXPECT_EQ(a[1][1], 2.0); // the old row 2, now first
    EXPECT_EQ(a[1][2], 1.5);
    EXPECT_EQ(a[2][1], 1.0); // multiplier 2/2
    EXPECT_EQ(a[2][2], -0.5);
    free_ivector(indx, 1, 2);
    free_matrix(a, 1, 2, 1, 2);
}

TEST(lufit, ludcmp_zero_pivot_becomes_tiny)
{
    double **a = matrix(1, 2, 1, 2);
    int *indx = ivector(1, 2);
    a[1][1] = 1.0;
    a[1][2] = 2.0;
    a[2][1] = 2.0;
    a[2][2] = 4.0;
    double d;
    ludcmp(a, 2, indx, &d);
    EXPECT_EQ(a[2][2], 1.0e-20);
    free_ivector(indx, 1, 2);
    free_matrix(a, 1, 2, 1, 2);
}

TEST(lufit, ludcmp_refuses_zero_rows_and_unchosen_pivots)
{
    double **a = matrix(1, 2, 1, 2);
    int *indx = ivector(1, 2);
    const std::vector<void *> blocks = {&a[1], &a[1][1], &a[2][1], &indx[1]};
    double d;
    a[1][1] = 1.0;
    a[1][2] = 1.0;
    a[2][1] = 0.0;
    a[2][2] = 0.0;
    EXPECT_FATAL(ludcmp(a, 2, indx, &d), "Singular matrix in routine LUDCMP");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    a[1][1] = nan;
    a[2][1] = nan;
    a[2][2] = 3.0;
    EXPECT_FATAL(ludcmp(a, 2, indx, &d), "Singular matrix in routine LUDCMP");
    free_ivector(indx, 1, 2);
    free_matrix(a, 1, 2, 1, 2);
}

TEST(lufit, lubksb_leading_zeros_of_the_right_hand_side)
{
    // A x = b with the exact solution x = (1, -2, 3).
    const double A[3][3] = {{0, 0, 1}, {0, 2, 1}, {4, 1, 1}};
    const double x[3] = {1, -2, 3};
    double **a = matrix(1, 3, 1, 3);
    int *indx = ivector(1, 3);
    double *b = vector(1, 3);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) a[i + 1][j + 1] = A[i][j];
    double d;
    ludcmp(a, 3, indx, &d);
    for (int i = 0; i < 3; i++) b[i + 1] = A[i][0] * x[0] + A[i][1] * x[1] + A[i][2] * x[2];
    lubksb(a, 3, indx, b);
    for (int i = 0; i < 3; i++) EXPECT_NEAR(b[i + 1], x[i], 1e-15);

    // Right-hand side whose leading permuted elements are zero: the skipped terms
    // must not change the solution (-0.25, 0, 1) of A x = (1, 1, 0); row 3 is the
    // first pivot, so the first permuted element is the zero.
    EXPECT_EQ(indx[1], 3);
    b[1] = 1;
    b[2] = 1;
    b[3] = 0;
    lubksb(a, 3, indx, b);
    EXPECT_NEAR(b[1], -0.25, 1e-15);
    EXPECT_NEAR(b[2], 0.0, 1e-15);
    EXPECT_NEAR(b[3], 1.0, 1e-15);
    b[1] = 0;
    b[2] = 0;
    b[3] = 4;
    lubksb(a, 3, indx, b);
    EXPECT_NEAR(b[1], 1.0, 1e-15);
    EXPECT_NEAR(b[2], 0.0, 1e-15);
    EXPECT_NEAR(b[3], 0.0, 1e-15);
    free_vector(b, 1, 3);
    free_ivector(indx, 1, 3);
    free_matrix(a, 1, 3, 1, 3);
}
