// Inversion of a 2-D affine transform held as a Matrix3 applied to the row vector
// (x, y, 1): the linear part by its determinant, the offset by back-substitution.
#include "fits.h"

#include <cmath>

namespace {

// |det| / (|a d| + |b c|) below this means the determinant is lost in cancellation.
constexpr double kCancellation = 1e-15;

// x87 arithmetic (32-bit builds) keeps intermediates in extended precision and range;
// a store through volatile rounds each one to double, so that the cancellation test
// and the overflow checks answer the same on every host.
double to_double(double x)
{
    volatile double stored = x;
    return stored;
}

void accumulate(double t, double &pos, double &neg) { (t >= 0.0 ? pos : neg) += to_double(t); }

bool all_finite(const Matrix3 m)
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 2; j++)
            if (!std::isfinite(m[i][j])) return false;
    return true;
}

} // namespace

extern "C" {

int ft_inverse(Matrix3 in, Matrix3 out)
{
    if (!in || !out) return 0;
    const double a = in[0][0], b = in[0][1], c = in[1][0], d = in[1][1];
    const double e = in[2][0], f = in[2][1];

    // The two products of the determinant, summed by sign so that their
    // cancellation can be measured against their magnitudes.
    double pos = 0.0, neg = 0.0;
    accumulate(a * d, pos, neg);
    accumulate((-b) * c, pos, neg);
    const double det = to_double(pos + neg);
    if (det == 0.0) return 0;
    const double ratio = to_double(det / to_double(pos - neg));
    if (!(std::fabs(ratio) >= kCancellation)) return 0;  // also refuses NaN

    const double r = to_double(1.0 / det);
    Matrix3 inv;
    inv[0][0] = to_double(d * r);
    inv[1][0] = to_double((-c) * r);
    inv[0][1] = to_double((-b) * r);
    inv[1][1] = to_double(a * r);
    inv[2][0] = to_double(-(to_double(e * inv[0][0]) + to_double(f * inv[1][0])));
    inv[2][1] = to_double(-(to_double(e * inv[0][1]) + to_double(f * inv[1][1])));
    // An inverse that does not fit in doubles is no inverse.
    if (!all_finite(inv)) return 0;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 2; j++) out[i][j] = inv[i][j];
    return 1;
}

} // extern "C"
