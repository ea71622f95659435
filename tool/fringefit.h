// The fringe fit of a mosaic: for every image extension, five sigma-clipped
// weighted fits of a constant, an x and y gradient and the same extension of each
// fringe frame, then the residual written back into the extension's pixels.
#ifndef TOLV_FRINGEFIT_H
#define TOLV_FRINGEFIT_H

#include "fitreport.h"
#include "mosaic.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The lean path is the one the tool uses; the straight path is the design-matrix
// layout solved by lfit3, kept as the reference the lean one must equal bit for bit.
enum class FitPath { lean, straight };

// What a fit computed in double precision, for tests that compare the two paths
// beyond what the table and the float pixels show: per iteration the coefficients
// and chisq, per extension the final residuals.
struct FitTrace {
    std::vector<double> numbers;
};

enum class FitOutcome { fitted, singular };

// Fits one extension at a time with arrays sized once for the geometry.  Every
// extension of every mosaic must hold big-endian BITPIX -32 data of that geometry
// (the caller checks).  Pixels whose science value or any fringe value is not
// finite take no part in the fits; a non-finite science pixel keeps its value.
class ExtensionFitter {
  public:
    virtual ~ExtensionFitter() = default;
    // Fits extension e and appends its table rows to `rows`; then corrected() holds
    // its corrected pixels (host order).  A singular system ends the fit early with
    // the rows of the iterations before it (the lean path reports it; the straight
    // path ends the process through lfit3).
    virtual FitOutcome fit(Mosaic science, const Mosaic *fringes, int e, std::string &rows,
                           FitTrace *trace) = 0;
    virtual const float *corrected() const = 0;
};

// The geometry of the fit: unit 1's NAXIS1 x NAXIS2 and the number of frames.
FitGeometry fit_geometry(Mosaic science, int nfringe);

// A fitter for the geometry; its allocation failures end the process through tserror.
std::unique_ptr<ExtensionFitter> make_fitter(const FitGeometry &g, FitPath path = FitPath::lean);

// Fits and corrects extensions 1..count-1 of `science` against `fringes[0..nfringe-1]`,
// printing the table head and one row per extension and iteration on `out`.  A
// singular fit ends the process through tserror after the extensions before it
// have been written.  npix = nx * ny must fit in an int.
void fringe_fit(Mosaic science, const Mosaic *fringes, int nfringe, std::FILE *out,
                FitPath path = FitPath::lean, FitTrace *trace = nullptr);

#endif
