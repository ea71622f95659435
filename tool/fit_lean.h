// The steps of the clipped fit as the tool computes them: one pass over the
// pixels per fit (fit_pass.h), nothing kept per pixel, on the instruction set
// simd_path() gives at each pass (every one gives the same bits).
#ifndef TOLV_FIT_LEAN_H
#define TOLV_FIT_LEAN_H

#include "fit_pass.h"
#include "fit_steps.h"

#include <memory>

// The sums of one extension's clipped fit as the lean steps keep them: the
// first pass's over every usable pixel, and the latest later pass's, whose
// normal matrix is the first one's less that of the pixels it leaves out (or,
// when the clip leaves out most pixels, the kept ones' own sum).  Nothing per
// pixel: each pass reads the extension's pixels as they lie in the files.
class ClippedSums {
  public:
    explicit ClippedSums(const FitGeometry &g);
    // The first pass, on the residual from `model` [1..npar]; the pixels kept.
    int first_pass(const ExtensionData &x, const double *model);
    // A later pass under `model` with the clip limit; the pixels kept.
    int later_pass(const ExtensionData &x, const double *model, double limit);
    // Element (i, j), j <= i (0-based), of the normal matrix of the fit at hand.
    double gram(int i, int j) const;
    // The sums of the fit at hand: rhs, squares and kept.
    const PassSums &latest() const { return later_ ? now_ : first_; }
    bool later() const { return later_; }

  private:
    FitGeometry g_;
    PassSums first_, now_;
    bool later_ = false;  // the fit at hand is on a later pass
    bool direct_ = false; // its normal matrix is summed over its kept pixels
};

// The constant the first pass starts from: the mean of the finite, unmasked
// science values of the middle row (0 when there are none), so that the first
// pass's sums of squares stay close to chisq.
double sky_level(const FitGeometry &g, const ExtensionData &x);

// Allocation failures end the process through tserror.
std::unique_ptr<FitSteps> make_lean_steps(const FitGeometry &g);

#endif
