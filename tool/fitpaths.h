// The two implementations of the clipped fit of every extension; both print the
// same table and write the same bytes.
#ifndef TOLV_FITPATHS_H
#define TOLV_FITPATHS_H

#include "fitreport.h"
#include "fringefit.h"

// The design matrix of npar x npix doubles solved by lfit3, five times per extension.
void fit_extensions_straight(const FitGeometry &g, Mosaic science, const Mosaic *fringes,
                             std::FILE *out, FitTrace *trace);

// The same sums in the same order from single-precision fringe rows, with the
// constant and gradient rows made on the fly and the residual pass fused with the
// accumulation of the next fit.
void fit_extensions_lean(const FitGeometry &g, Mosaic science, const Mosaic *fringes,
                         std::FILE *out, FitTrace *trace);

#endif
