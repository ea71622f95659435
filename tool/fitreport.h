// Pieces shared by the two fit paths: pixel states, the table rows, reading an
// extension's big-endian floats and writing the residual back.
#ifndef TOLV_FITREPORT_H
#define TOLV_FITREPORT_H

#include "mosaic.h"

#include <cstdint>
#include <cstdio>
#include <string>

constexpr int FIT_ITERATIONS = 5;

// Why a pixel takes no part in the fits.
enum PixelState : unsigned char {
    USABLE = 0,
    FRINGE_NOT_FINITE = 1, // some fringe value is not finite: modelled without it
    SCIENCE_NOT_FINITE = 2, // written back unchanged
    MASKED = 3              // masked by the caller: corrected like the others
};

struct FitGeometry {
    int nx, ny, npix, nfringe, npar;
};

// The two head lines of the table; printed once the arrays of the fit exist.
void print_fit_head(std::FILE *out, int nfringe);

// One row of the table, appended to `rows`: extension, iteration, sigma, pixels
// used and acc1[1..npar].
void append_fit_row(std::string &rows, int extn, int iter, float sigma, int nfit, const double *acc1,
                    int npar);

// Copies npix big-endian floats into host order.
void read_floats(float *to, const void *from, int npix);

// Zeroes the non-finite values of a fringe frame (so that, with weight 0, they add
// exactly nothing to any sum) and marks their pixels.
void mask_fringe(float *values, unsigned char *state, int npix);

// Residuals s[0..npix-1] to floats in `science`, which holds the pixels as read:
// those not finite stay as they were.
void residual_to_pixels(float *science, const double *s, const unsigned char *state, int npix);

// Writes npix host-order floats big-endian into unit e's data in the mapping.
void store_extension(Mosaic m, int e, const float *pixels, int npix);

#endif
