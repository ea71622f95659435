// The reference fit's solver: weighted linear least squares by the normal
// equations over a design matrix, lfit3, and the decomposition that ends the
// process on a singular system, ludcmp.  The tool's lean fit solves the same
// normal equations with lfit_solve and must equal lfit3 bit for bit.
#ifndef TOLV_LFIT3_H
#define TOLV_LFIT3_H

#include "lufit.h"

// Fits y[i] ~ sum_j a[j] X[j][i] with weights w[i] for the parameters named in
// lista[1..mfit]; the others keep their values in a.  Completes lista with the held
// parameters in ascending order and sets *chisq to the weighted squared residual.
// Every failure (a bad list, a singular system) ends the process through tserror.
void lfit3(double **X, double *y, double *w, int ndata, double *a, int ma, int *lista,
           int mfit, double *chisq);

// lu_decompose, ending the process through tserror with SINGULAR_MESSAGE where
// that returns false.
void ludcmp(double **a, int n, int *indx, double *d);

#endif
