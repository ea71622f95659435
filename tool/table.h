// The table tolv prints: two head lines, then one row per extension and fit.
#ifndef TOLV_TABLE_H
#define TOLV_TABLE_H

#include <cstdint>
#include <cstdio>
#include <string>

// The two head lines of the table; printed once the arrays of the fit exist.
void print_fit_head(std::FILE *out, int nfringe);

// One row of the table, appended to `rows`: extension, iteration, sigma, pixels
// used and acc1[1..npar].
void append_fit_row(std::string &rows, int extn, int iter, float sigma, int nfit, const double *acc1,
                    int npar);

// The longest row append_fit_row can make with npar coefficients: printf's %f of
// the largest float and double, the longest int.
int64_t fit_row_bound(int npar);

#endif
