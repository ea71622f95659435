// The two implementations of the steps of the clipped fit; both give the same
// coefficients, chisq and residuals, bit for bit.
#ifndef TOLV_FITPATHS_H
#define TOLV_FITPATHS_H

#include "fringefit.h"

// The design matrix of npar x npix doubles solved by lfit3.
std::unique_ptr<FitSteps> make_straight_steps(const FitGeometry &g);

// The same sums in the same order from single-precision fringe rows, with the
// constant and gradient rows made on the fly and the residual pass fused with the
// accumulation of the next fit; on the instruction set simd_path() gives when
// the steps are made (every one gives the same bits).
std::unique_ptr<FitSteps> make_lean_steps(const FitGeometry &g);

#endif
