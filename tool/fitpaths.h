// The two implementations of the clipped fit of an extension; both give the same
// rows and the same pixels.
#ifndef TOLV_FITPATHS_H
#define TOLV_FITPATHS_H

#include "fringefit.h"

// The design matrix of npar x npix doubles solved by lfit3, five times per extension.
std::unique_ptr<ExtensionFitter> make_straight_fitter(const FitGeometry &g);

// The same sums in the same order from single-precision fringe rows, with the
// constant and gradient rows made on the fly and the residual pass fused with the
// accumulation of the next fit.
std::unique_ptr<ExtensionFitter> make_lean_fitter(const FitGeometry &g);

#endif
