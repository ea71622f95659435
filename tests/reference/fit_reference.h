// The reference the tool's fit is measured against, for tests and benchmarks
// only: the straight design-matrix path solved by lfit3, and a whole-mosaic fit
// driver on either path that prints the table and writes the residuals back.
#ifndef TOLV_FIT_REFERENCE_H
#define TOLV_FIT_REFERENCE_H

#include "fringefit.h"

#include <cstdio>
#include <memory>

// The lean path is the one the tool uses; the straight path is the design-matrix
// layout solved by lfit3, kept as the reference the lean one must equal bit for bit.
enum class FitPath { lean, straight };

// The design matrix of npar x npix doubles solved by lfit3, which ends the
// process on a singular system.
std::unique_ptr<FitSteps> make_straight_steps(const FitGeometry &g);

// The steps of `path` for geometry g.
std::unique_ptr<FitSteps> make_steps(const FitGeometry &g, FitPath path);

// A fitter on the steps of `path`.
ExtensionFitter make_fitter(const FitGeometry &g, FitPath path, FitSettings settings = {});

// Unit e of the science mosaic and of every fringe mosaic.
ExtensionData extension_data(Mosaic science, const Mosaic *fringes, int nfringe, int e);

// Fits and corrects extensions 1..count-1 of `science` against `fringes[0..nfringe-1]`,
// printing the table head and one row per extension and iteration on `out`.  A
// singular fit ends the process through tserror after the extensions before it
// have been written.  npix = nx * ny must fit in an int.
void fringe_fit(Mosaic science, const Mosaic *fringes, int nfringe, std::FILE *out,
                FitPath path = FitPath::lean, FitTrace *trace = nullptr, FitSettings settings = {});

// How two sets of corrected pixels of the same science pixels, npix big-endian
// floats each, differ: the pixels whose bits differ; those more than one unit
// in the last place of float32 apart (or of which one is not a number), less
// the residuals so close to 0 that they differ by no more than 2^-32 of their
// science value, counted apart.
struct StoredDifference {
    size_t differing = 0, beyond_one_ulp = 0, cancelled = 0;
};
StoredDifference stored_difference(const void *a, const void *b, const void *science, size_t npix);

#endif
