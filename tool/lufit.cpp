// LU decomposition with partial pivoting and implicit row scaling, and
// substitution; all in double precision.
#include "lufit.h"

#include "tsutil.h"

#include <cmath>

namespace {

constexpr double TINY = 1.0e-20;

} // namespace

bool lfit_solve(double **alpha, double *beta, int *indx, int mfit)
{
    for (int j = 2; j <= mfit; j++)
        for (int k = 1; k < j; k++) alpha[k][j] = alpha[j][k];
    double d;
    if (!lu_decompose(alpha, mfit, indx, &d)) return false;
    lubksb(alpha, mfit, indx, beta);
    return true;
}

bool lu_decompose(double **a, int n, int *indx, double *d)
{
    double *vv = vector(1, n);
    *d = 1.0;
    for (int i = 1; i <= n; i++) {
        double big = 0.0;
        for (int j = 1; j <= n; j++) {
            const double temp = std::fabs(a[i][j]);
            if (temp > big) big = temp;
        }
        if (big == 0.0) {
            free_vector(vv, 1, n);
            return false;
        }
        vv[i] = 1.0 / big;
    }
    for (int j = 1; j <= n; j++) {
        for (int i = 1; i < j; i++) {
            double sum = a[i][j];
            for (int k = 1; k < i; k++) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
        }
        double big = 0.0;
        int imax = 0; // none chosen yet: non-finite candidates never compare
        for (int i = j; i <= n; i++) {
            double sum = a[i][j];
            for (int k = 1; k < j; k++) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
            const double dum = vv[i] * std::fabs(sum);
            if (dum >= big) {
                big = dum;
                imax = i;
            }
        }
        if (imax == 0) {
            free_vector(vv, 1, n);
            return false;
        }
        if (j != imax) {
            for (int k = 1; k <= n; k++) {
                const double dum = a[imax][k];
                a[imax][k] = a[j][k];
                a[j][k] = dum;
            }
            *d = -(*d);
            vv[imax] = vv[j];
        }
        indx[j] = imax;
        if (a[j][j] == 0.0) a[j][j] = TINY;
        if (j != n) {
            const double dum = 1.0 / a[j][j];
            for (int i = j + 1; i <= n; i++) a[i][j] *= dum;
        }
    }
    free_vector(vv, 1, n);
    return true;
}

void lubksb(double **a, int n, const int *indx, double *b)
{
    int ii = 0;
    for (int i = 1; i <= n; i++) {
        const int ip = indx[i];
        double sum = b[ip];
        b[ip] = b[i];
        if (ii != 0) {
            for (int j = ii; j < i; j++) sum -= a[i][j] * b[j];
        } else if (sum != 0.0) {
            ii = i;
        }
        b[i] = sum;
    }
    for (int i = n; i >= 1; i--) {
        double sum = b[i];
        for (int j = i + 1; j <= n; j++) sum -= a[i][j] * b[j];
        b[i] = sum / a[i][i];
    }
}
