// The fringe fit of a mosaic: for every image extension, sigma-clipped weighted
// fits of a constant, an x and y gradient and the same extension of each fringe
// frame, then the residual written back into the extension's pixels.
#ifndef TOLV_FRINGEFIT_H
#define TOLV_FRINGEFIT_H

#include "mosaic.h"
#include "pixels.h"
#include "table.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Clipped fits per extension, unless the settings say otherwise.
constexpr int FIT_ITERATIONS = 5;

// The image size shared by every extension fitted, and the parameters.
struct FitGeometry {
    int nx, ny, npix, nfringe, npar;
};

// The lean path is the one the tool uses; the straight path is the design-matrix
// layout solved by lfit3, kept as the reference the lean one must equal bit for bit.
enum class FitPath { lean, straight };

// The settings of the clipped fit.
struct FitSettings {
    int iterations = FIT_ITERATIONS; // clipped fits per extension
    float clip = 2.0f;               // a pixel is left out when |residual| > clip * sigma
};

// What a fit computed in double precision, for tests that compare the two paths
// beyond what the table and the float pixels show: per iteration the coefficients
// and chisq, per extension the final residuals.
struct FitTrace {
    std::vector<double> numbers;
};

// One extension's pixels as they lie in the files (npix big-endian floats each),
// and its mask (npix bytes, nonzero: left out of every fit), null when none.
struct ExtensionData {
    int extn = 0; // the science unit, as the table names it
    const void *science = nullptr;
    std::vector<const void *> fringes;
    const unsigned char *mask = nullptr;
};

// Unit e of the science mosaic and of every fringe mosaic.
ExtensionData extension_data(Mosaic science, const Mosaic *fringes, int nfringe, int e);

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
    // The weighted sum of squared residuals of the current fit, as lfit3 gives it.
    virtual double chisq() = 0;
    // Replaces the data by the residual, gives weight 0 to the pixels beyond
    // `limit` (and to those never usable), readies the next fit when `next`;
    // returns the pixels kept.
    virtual int residual_and_clip(float limit, bool next) = 0;
    virtual const double *residual() const = 0; // npix, 0-based
    // Why each pixel took no part in the fits (PixelState), npix, 0-based.
    virtual const unsigned char *pixel_states() const = 0;
    // The residual as the corrected pixels (host-order floats).
    virtual const float *finish() = 0;
};

enum class FitOutcome { fitted, singular };

// One row of the table: a fit's sigma, the pixels it used and the coefficients
// accumulated over the fits so far, [1..npar] (Aconst, Ax, Ay, then one per frame).
struct FitRow {
    int extn = 0, iter = 0; // the extension and the fit (0: the unclipped one)
    float sigma = 0.0f;
    int npix = 0;
    std::vector<double> a;
};

// Fits one extension at a time with arrays sized once for the geometry: the
// clipped loop, on the steps of one path.  Every extension given must hold
// big-endian BITPIX -32 data of that geometry (the caller checks).  Pixels whose
// science value or any fringe value is not finite, or that are masked, take no
// part in the fits; a non-finite science pixel keeps its value.
class ExtensionFitter {
  public:
    // Allocation failures end the process through tserror.
    ExtensionFitter(const FitGeometry &g, FitPath path = FitPath::lean, FitSettings settings = {});
    // Fits the extension and appends its table rows to `rows`; then corrected()
    // holds its corrected pixels.  A singular system ends the fit early with the
    // rows of the iterations before it (the straight path ends the process
    // through lfit3 instead).
    FitOutcome fit(const ExtensionData &x, std::string &rows, FitTrace *trace = nullptr);
    // The corrected pixels as host-order floats, made on first use from the
    // residuals and the extension's science pixels (which must still be there).
    const float *corrected();
    // Writes corrected pixels [first, first + count) big-endian at `to` (the
    // extension's data in the file, pixel `first` first), in one pass; pixels
    // whose science value is not finite are left as `to` holds them.
    void store(void *to, int first, int count) const;
    // The last row fit() appended: what was subtracted.
    const FitRow &last() const { return last_; }
    // Every row the last fit() appended, as computed.
    const std::vector<FitRow> &fit_rows() const { return rows_; }

  private:
    FitGeometry g_;
    FitSettings settings_;
    std::unique_ptr<FitSteps> steps_;
    std::vector<double> acc_; // [1..npar]
    const float *corrected_ = nullptr;
    FitRow last_;
    std::vector<FitRow> rows_;
};

// Bytes of memory one lean fitter of this geometry holds.
int64_t fitter_bytes(const FitGeometry &g);

// The geometry of the fit: NAXIS1 x NAXIS2 of the science unit `first` (unit 1
// unless given) and the number of frames.
FitGeometry fit_geometry(Mosaic science, int nfringe, int first = 1);

// Fits and corrects extensions 1..count-1 of `science` against `fringes[0..nfringe-1]`,
// printing the table head and one row per extension and iteration on `out`.  A
// singular fit ends the process through tserror after the extensions before it
// have been written.  npix = nx * ny must fit in an int.
void fringe_fit(Mosaic science, const Mosaic *fringes, int nfringe, std::FILE *out,
                FitPath path = FitPath::lean, FitTrace *trace = nullptr, FitSettings settings = {});

#endif
