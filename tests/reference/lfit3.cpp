// lfit3: the normal equations accumulated from a design matrix, in the order the
// lean fit reproduces, then solved by lfit_solve.
#include "lfit3.h"

#include "tsutil.h"

namespace {

// Appends to lista[mfit+1..ma], in ascending order, every parameter not named in
// lista[1..mfit], refusing repeats and lists that do not come to exactly ma entries.
void complete_list(int *lista, int ma, int mfit)
{
    int kk = mfit + 1;
    for (int j = 1; j <= ma; j++) {
        int ihit = 0;
        for (int k = 1; k <= mfit; k++)
            if (lista[k] == j) ihit++;
        if (ihit == 0) {
            if (kk > ma) tserror("Bad LISTA permutation in LFIT-2");
            lista[kk++] = j;
        } else if (ihit > 1) {
            tserror("Bad LISTA permutation in LFIT-1");
        }
    }
    if (kk != ma + 1) tserror("Bad LISTA permutation in LFIT-2");
}

} // namespace

void lfit3(double **X, double *y, double *w, int ndata, double *a, int ma, int *lista,
           int mfit, double *chisq)
{
    int *indx = ivector(1, mfit);
    double *beta = vector(1, ma);
    double **alpha = matrix(1, mfit, 1, mfit);

    complete_list(lista, ma, mfit);
    for (int j = 1; j <= mfit; j++) {
        for (int k = 1; k <= mfit; k++) alpha[j][k] = 0.0;
        beta[j] = 0.0;
    }
    for (int i = 1; i <= ndata; i++) {
        double ym = y[i];
        for (int j = mfit + 1; j <= ma; j++) ym -= a[lista[j]] * X[lista[j]][i];
        for (int j = 1; j <= mfit; j++) {
            const double wt = X[lista[j]][i] * w[i];
            for (int k = 1; k <= j; k++) alpha[j][k] += wt * X[lista[k]][i];
            beta[j] += ym * wt;
        }
    }
    if (!lfit_solve(alpha, beta, indx, mfit)) tserror(SINGULAR_MESSAGE);
    for (int j = 1; j <= mfit; j++) a[lista[j]] = beta[j];

    *chisq = 0.0;
    for (int i = 1; i <= ndata; i++) {
        double sum = 0.0;
        for (int j = 1; j <= ma; j++) sum += a[j] * X[j][i];
        const double r = y[i] - sum;
        *chisq += w[i] * (r * r);
    }
    free_vector(beta, 1, ma);
    free_ivector(indx, 1, mfit);
    free_matrix(alpha, 1, mfit, 1, mfit);
}

void ludcmp(double **a, int n, int *indx, double *d)
{
    if (!lu_decompose(a, n, indx, d)) tserror(SINGULAR_MESSAGE);
}
