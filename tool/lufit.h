// The normal equations of a weighted linear least-squares fit solved with
// Crout's LU decomposition.  Arrays are 1-based index-offset arrays (tsutil).
#ifndef TOLV_LUFIT_H
#define TOLV_LUFIT_H

// The fatal message of a system with a zero row (or no usable pivot).
constexpr const char *SINGULAR_MESSAGE = "Singular matrix in routine LUDCMP";

// Solves the normal equations alpha x = beta of size mfit, of which only the lower
// triangle has been accumulated: mirrors it, decomposes alpha in place and leaves
// the solution in beta[1..mfit].  indx has room for mfit entries.  Returns false,
// ending nothing, when the system is singular as ludcmp reports it.
bool lfit_solve(double **alpha, double *beta, int *indx, int mfit);

// Replaces a[1..n][1..n] by the LU decomposition of its row permutation; indx
// records the exchanges and *d the parity (+1 or -1).  False when a row is
// entirely zero or a column has no pivot row; a is then partly decomposed.
bool lu_decompose(double **a, int n, int *indx, double *d);

// Replaces b[1..n] by the solution of the system decomposed by lu_decompose.
void lubksb(double **a, int n, const int *indx, double *b);

#endif
