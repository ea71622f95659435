// Weighted linear least squares by the normal equations, with Crout's LU
// decomposition.  Arrays are 1-based index-offset arrays (tsutil); every failure
// ends the process through tserror.
#ifndef TOLV_LUFIT_H
#define TOLV_LUFIT_H

// Fits y[i] ~ sum_j a[j] X[j][i] with weights w[i] for the parameters named in
// lista[1..mfit]; the others keep their values in a.  Completes lista with the held
// parameters in ascending order and sets *chisq to the weighted squared residual.
void lfit3(double **X, double *y, double *w, int ndata, double *a, int ma, int *lista,
           int mfit, double *chisq);

// The fatal message of a system with a zero row (or no usable pivot).
constexpr const char *SINGULAR_MESSAGE = "Singular matrix in routine LUDCMP";

// Solves the normal equations alpha x = beta of size mfit, of which only the lower
// triangle has been accumulated: mirrors it, decomposes alpha in place and leaves
// the solution in beta[1..mfit].  indx has room for mfit entries.  Returns false,
// ending nothing, when the system is singular as ludcmp reports it.
bool lfit_solve(double **alpha, double *beta, int *indx, int mfit);

// Replaces a[1..n][1..n] by the LU decomposition of its row permutation; indx
// records the exchanges and *d the parity (+1 or -1).
void ludcmp(double **a, int n, int *indx, double *d);

// ludcmp without the fatal exit: false when a row is entirely zero or a column has
// no pivot row; a is then partly decomposed.
bool lu_decompose(double **a, int n, int *indx, double *d);

// Replaces b[1..n] by the solution of the system decomposed by ludcmp.
void lubksb(double **a, int n, const int *indx, double *b);

#endif
