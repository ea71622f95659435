// Vectors and matrices addressed from a chosen lower bound (1 in practice), and
// the numeric code's fatal-error exit.  There is no bounds checking and elements
// are not initialised; a refused allocation ends the process through tserror.
#ifndef TOLV_TSUTIL_H
#define TOLV_TSUTIL_H

#include <cstdio>

// Writes the three-line report of the numeric module's fatal error `text` on
// `to`, allocating nothing (it reports refused allocations too).
void write_numeric_error(std::FILE *to, const char *text);

// Writes the report for `text` on stderr and exits with status 1.
[[noreturn]] void tserror(const char *text);

double *vector(int nl, int nh);
double *dvector(int nl, int nh);
int *ivector(int nl, int nh);
double **matrix(int nrl, int nrh, int ncl, int nch);
double **dmatrix(int nrl, int nrh, int ncl, int nch);
int **imatrix(int nrl, int nrh, int ncl, int nch);
// Rows oldrl..oldrh, columns from oldcl, of `a` as rows from newrl and columns from
// newcl; owns only its row table.
double **submatrix(double **a, int oldrl, int oldrh, int oldcl, int oldch, int newrl, int newcl);
// A row-major flat array `a` viewed as rows nrl..nrh and columns ncl..nch; owns only
// its row table.
double **convert_matrix(double *a, int nrl, int nrh, int ncl, int nch);

void free_vector(double *v, int nl, int nh);
void free_dvector(double *v, int nl, int nh);
void free_ivector(int *v, int nl, int nh);
void free_matrix(double **m, int nrl, int nrh, int ncl, int nch);
void free_dmatrix(double **m, int nrl, int nrh, int ncl, int nch);
void free_imatrix(int **m, int nrl, int nrh, int ncl, int nch);
void free_submatrix(double **b, int nrl, int nrh, int ncl, int nch);
void free_convert_matrix(double **b, int nrl, int nrh, int ncl, int nch);

#endif
