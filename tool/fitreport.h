// Pieces shared by the two fit paths: pixel states, the table rows, reading an
// extension's big-endian floats and writing the residual back.
#ifndef TOLV_FITREPORT_H
#define TOLV_FITREPORT_H

#include "mosaic.h"

#include <cstdint>
#include <cstdio>

constexpr int FIT_ITERATIONS = 5;

// Why a pixel takes no part in the fits.
enum PixelState : unsigned char {
    USABLE = 0,
    FRINGE_NOT_FINITE = 1, // some fringe value is not finite: modelled without it
    SCIENCE_NOT_FINITE = 2 // written back unchanged
};

struct FitGeometry {
    int nx, ny, npix, nfringe, npar;
};

// The two head lines of the table; printed once the arrays of the fit exist.
void print_fit_head(std::FILE *out, int nfringe);

void print_fit_row(std::FILE *out, int extn, int iter, float sigma, int nfit, const double *acc1,
                   int npar);

// Copies the npix big-endian floats of unit e into host order.
void read_extension(float *to, Mosaic m, int e, int npix);

// Zeroes the non-finite values of a fringe frame (so that, with weight 0, they add
// exactly nothing to any sum) and marks their pixels.
void mask_fringe(float *values, unsigned char *state, int npix);

// Residuals s[0..npix-1] to floats, written big-endian into unit e of the science
// mosaic; `science` holds the pixels as read, kept for the non-finite ones.
void write_residual(float *science, const double *s, const unsigned char *state, Mosaic m, int e,
                    int npix);

#endif
