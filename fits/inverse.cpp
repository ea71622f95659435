// Inversion of a 2-D affine transform held as a Matrix3 applied to the row vector
// (x, y, 1): the linear part by its determinant, the offset by back-substitution.
#include "fits.h"

#include <cmath>

namespace {

// |det| / (|a d| + |b c|) below this means the determinant is lost in cancellation.
constexpr double kCancellation = 1e-15;

void accumulate(double t, double &pos, double &neg) { (t >= 0.0 ? pos : neg) += t; }

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
    const double det = pos + neg;
    if (det == 0.0) return 0;
    const double ratio = det / (pos - neg);
    if (!(std::fabs(ratio) >= kCancellation)) return 0;  // also refuses NaN

    const double r = 1.0 / det;
    Matrix3 inv;
    inv[0][0] = d * r;
    inv[1][0] = (-c) * r;
    inv[0][1] = (-b) * r;
    inv[1][1] = a * r;
    inv[2][0] = -(e * inv[0][0] + f * inv[1][0]);
    inv[2][1] = -(e * inv[0][1] + f * inv[1][1]);
    // An inverse that does not fit in doubles is no inverse.
    if (!all_finite(inv)) return 0;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 2; j++) out[i][j] = inv[i][j];
    return 1;
}

} // extern "C"
