// One pass of the clipped fringe fit over rows of one extension, straight from
// the pixels as they lie in the files (big-endian science, fringe and mask
// values): per pixel the residual from the model so far, its weight from the
// clip limit, and its terms of the next fit's normal equations, with no state
// kept per pixel.  The same pass, without the sums, gives the corrected pixels.
//
// The basis of a pixel is u = (1, gx, gy, f_0 .. f_nf-1), gx = x - nx/2 and
// gy = y - ny/2 (integer division); the model so far is a[1..npar] (1-based):
// model = a1 + a2 gx + a3 gy + sum_k a[4+k] f_k, added in that order, and the
// residual r = s - model.  A pixel is usable when its science value and every
// fringe value are finite and the mask (if any) is 0 there; it is kept by a pass
// when usable and not |r| > limit.
//
// Every sum is made in an order fixed by the code: pixel x of a row goes to lane
// x mod 8 of the row's accumulators, the 8 lanes of a row are added pairwise
// ((0+1)+(2+3))+((4+5)+(6+7)), and the rows' sums are added in row order.  Lanes
// are independent, so however many a vector holds (2, 4 or 8 doubles, or none)
// every instruction set computes the same bits.
#ifndef TOLV_FIT_PASS_H
#define TOLV_FIT_PASS_H

#include "fit_steps.h"

#include <cstdint>
#include <vector>

// Which pixels a pass sums u u^T over: the kept ones (the first pass, which
// keeps every usable pixel), or the usable ones the clip leaves out (later
// passes, whose normal matrix is the first one's less these).
enum class GramOf { kept, clipped };

// What a pass adds up over its rows.
struct PassSums {
    explicit PassSums(int nfringe = 0);
    int npar = 0;
    int64_t usable = 0, kept = 0;
    // The lower triangle of sum u u^T over the pixels GramOf names: element
    // (i, j), 0 <= j <= i < npar, at i (i + 1) / 2 + j.
    std::vector<double> gram;
    std::vector<double> rhs; // sum over kept pixels of r u, npar
    double squares = 0.0;    // sum over kept pixels of r^2

    void clear();
    // Adds the sums of the rows after these (in row order, for a fixed total).
    void add(const PassSums &later);
};

// Index of element (i, j), j <= i, of the triangle.
inline int gram_at(int i, int j) { return i * (i + 1) / 2 + j; }

// Adds rows [y0, y1) of extension x, under the model a[1..npar], to `sums`.
void fit_pass(const FitGeometry &g, const ExtensionData &x, const double *a, double limit, GramOf gram, int y0,
              int y1, PassSums &sums);

// The corrected pixels [first, first + count) of x under the model a, as
// big-endian floats at `to` (pixel `first` first): the nearest float of the
// residual (held at +-FLT_MAX beyond them), with a fringe value that is not
// finite counted as 0; where the science value is not finite or the residual is
// not a number, the science value's own bytes.  `to` need hold nothing before
// and may be the science pixels themselves.
void store_corrected(const FitGeometry &g, const ExtensionData &x, const double *a, void *to, int first,
                     int count);

// The residual of every pixel in double precision, and why each took no part
// in the fits (PixelState), npix each: for tests and traces.
void pixel_residuals(const FitGeometry &g, const ExtensionData &x, const double *a, double *r,
                     unsigned char *state);

#endif
