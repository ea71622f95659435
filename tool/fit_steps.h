// What the clipped fringe fit works on and what one way of computing it supplies:
// the geometry and settings of a fit, an extension's pixels as they lie in the
// files, a row of the table, and the steps a fit path implements.
#ifndef TOLV_FIT_STEPS_H
#define TOLV_FIT_STEPS_H

#include "pixels.h"

#include <functional>
#include <vector>

// Clipped fits per extension, unless the settings say otherwise.
constexpr int FIT_ITERATIONS = 5;

// The image size shared by every extension fitted, and the parameters.
struct FitGeometry {
    int nx, ny, npix, nfringe, npar;
};

// The settings of the clipped fit.
struct FitSettings {
    int iterations = FIT_ITERATIONS; // clipped fits per extension
    float clip = 2.0f;               // a pixel is left out when |residual| > clip * sigma
};

// One extension's pixels as they lie in the files (npix big-endian floats each),
// and its mask (npix bytes, nonzero: left out of every fit), null when none.
struct ExtensionData {
    int extn = 0; // the science unit, as the table names it
    const void *science = nullptr;
    std::vector<const void *> fringes;
    const unsigned char *mask = nullptr;
};

// One row of the table: a fit's sigma, the pixels it used and the coefficients
// accumulated over the fits so far, [1..npar] (Aconst, Ax, Ay, then one per frame).
struct FitRow {
    int extn = 0, iter = 0; // the extension and the fit (0: the unclipped one)
    float sigma = 0.0f;
    int npix = 0;
    std::vector<double> a;
};

// What a fit path supplies to the clipped loop: loading, solving, chisq and the
// residual with its clip.  Coefficients are 1-based, [1..npar].
class FitSteps {
  public:
    virtual ~FitSteps() = default;
    // Reads the extension and readies the first fit; returns the usable pixels.
    virtual int load(const ExtensionData &x) = 0;
    // Solves the current fit; false when its normal equations are singular.
    virtual bool solve() = 0;
    virtual const double *coefficients() const = 0;
    // The weighted sum of squared residuals of the current fit, in pixel order.
    virtual double chisq() = 0;
    // Replaces the data by the residual, gives weight 0 to the pixels beyond
    // `limit` (and to those never usable), readies the next fit when `next`;
    // returns the pixels kept.
    virtual int residual_and_clip(float limit, bool next) = 0;
    virtual const double *residual() const = 0; // npix, 0-based
    // Why each pixel took no part in the fits (PixelState), npix, 0-based.
    virtual const unsigned char *pixel_states() const = 0;
    // The corrected pixels [first, first + count) big-endian at `to`, which holds
    // the pixels as read: those whose science value is not finite stay as they are.
    virtual void store(void *to, int first, int count) const
    {
        store_residuals(to, residual() + first, pixel_states() + first, count);
    }
    // Whether store() writes every byte of its range, those of pixels that are
    // not finite as the science pixels hold them: then `to` need hold nothing.
    virtual bool store_writes_every_byte() const { return false; }
    // The residual as the corrected pixels (host-order floats).
    virtual const float *finish() = 0;
    // Takes the extension with a model fitted elsewhere, [1..npar], in place of
    // fits of its own (for store() and finish()), and makes its corrected pixels
    // now, for store() to copy, a piece at a time: `made(first, count)` is called
    // once pixels [first, first + count) are made (their inputs' pages may go).
    // False when these steps cannot.
    virtual bool adopt(const ExtensionData &, const double *, const std::function<void(int, int)> &)
    {
        return false;
    }
};

#endif
