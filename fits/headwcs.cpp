// Linear coordinate transforms: affine maps of points and sizes between pixel systems,
// and the header keywords of a logical transform (LTM/LTV) and of a linear WCS.
#include "fits.h"
#include "real_precision.h"

namespace {

struct Term {
    const char *name;
    int n;           // index number appended to name (0: none)
    double value;
    double identity; // a value equal to this is not written
};

// Writes each term that differs from its identity value (a NaN always differs),
// adding the card when it is missing.
template <int N>
void write_terms(FITSHead fits, const Term (&terms)[N])
{
    for (const Term &t : terms)
        if (t.value != t.identity)
            ft_headsetr(fits, t.name, t.n, t.value, real_precision::exact(t.value), nullptr, 1);
}

void pass_through(double x0, double y0, double *x1, double *y1)
{
    if (x1) *x1 = x0;
    if (y1) *y1 = y0;
}

const Matrix3 &chosen(const _FITSLinWCS &lcs, int direction) { return direction ? lcs.fwd : lcs.rev; }

} // namespace

extern "C" {

int ft_trxlcs(FITSLinWCS lcs, double x0, double y0, double *x1, double *y1, int direction)
{
    if (!lcs || !lcs->has_wcs) {
        pass_through(x0, y0, x1, y1);
        return 0;
    }
    const Matrix3 &m = chosen(*lcs, direction);
    pass_through(x0 * m[0][0] + y0 * m[1][0] + m[2][0], x0 * m[0][1] + y0 * m[1][1] + m[2][1], x1, y1);
    return 1;
}

int ft_trxsiz(FITSLinWCS lcs, double x0, double y0, double *x1, double *y1, int direction)
{
    if (!lcs || !lcs->has_wcs) {
        pass_through(x0, y0, x1, y1);
        return 0;
    }
    const Matrix3 &m = chosen(*lcs, direction);
    pass_through(x0 * m[0][0], y0 * m[1][1], x1, y1);
    return 1;
}

void ft_loglcs(FITSHead fits, double m11, double m12, double m21, double m22, double v1, double v2)
{
    if (!fits) return;
    const Term terms[] = {
        {"LTM1_1", 0, m11, 1.0}, {"LTM1_2", 0, m12, 0.0}, {"LTM2_1", 0, m21, 0.0},
        {"LTM2_2", 0, m22, 1.0}, {"LTV1", 0, v1, 0.0},    {"LTV2", 0, v2, 0.0},
    };
    write_terms(fits, terms);
}

void ft_wcslcs(FITSHead fits, double m11, double m12, double m21, double m22, double crv1, double crv2,
               double crp1, double crp2, const char *cun1, const char *cun2)
{
    if (!fits) return;
    ft_headsets(fits, "CTYPE", 1, "LINEAR", nullptr, 1);
    ft_headsets(fits, "CTYPE", 2, "LINEAR", nullptr, 1);
    const Term axis1[] = {{"CRVAL", 1, crv1, 0.0}, {"CRPIX", 1, crp1, 0.0}};
    write_terms(fits, axis1);
    if (cun1) ft_headsets(fits, "CUNIT", 1, cun1, nullptr, 1);
    const Term axis2[] = {{"CRVAL", 2, crv2, 0.0}, {"CRPIX", 2, crp2, 0.0}};
    write_terms(fits, axis2);
    if (cun2) ft_headsets(fits, "CUNIT", 2, cun2, nullptr, 1);
    const Term cd[] = {
        {"CD1_1", 0, m11, 1.0}, {"CD1_2", 0, m12, 0.0}, {"CD2_1", 0, m21, 0.0}, {"CD2_2", 0, m22, 1.0},
    };
    write_terms(fits, cd);
}

} // extern "C"
