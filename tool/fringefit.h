// The fringe fit of an extension: sigma-clipped weighted fits of a constant, an
// x and y gradient and the same extension of each fringe frame, then the
// residual as the extension's corrected pixels.
#ifndef TOLV_FRINGEFIT_H
#define TOLV_FRINGEFIT_H

#include "fit_steps.h"
#include "mosaic.h"
#include "pixels.h"
#include "table.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// What a fit computed in double precision, for tests that compare fit paths
// beyond what the table and the float pixels show: per iteration the coefficients
// and chisq, per extension the final residuals.
struct FitTrace {
    std::vector<double> numbers;
};

enum class FitOutcome { fitted, singular };

// Fits one extension at a time: the clipped loop, on the lean steps unless given
// others.  Every extension given
// must hold big-endian BITPIX -32 data of that geometry (the caller checks).
// Pixels whose science value or any fringe value is not finite, or that are
// masked, take no part in the fits; a non-finite science pixel keeps its value.
class ExtensionFitter {
  public:
    // On the lean steps; allocation failures end the process through tserror.
    explicit ExtensionFitter(const FitGeometry &g, FitSettings settings = {});
    // On `steps`, made for the same geometry.
    ExtensionFitter(std::unique_ptr<FitSteps> steps, const FitGeometry &g, FitSettings settings = {});
    // Fits the extension and appends its table rows to `rows`; then corrected()
    // holds its corrected pixels.  A singular system ends the fit early with the
    // rows of the iterations before it (steps that never report a singular
    // system may end the process instead).
    FitOutcome fit(const ExtensionData &x, std::string &rows, FitTrace *trace = nullptr);
    // Takes the extension with the rows and model of a fit made elsewhere (the
    // fit of its exposure) in place of fit(), and appends the rows to `text`.
    // Its corrected pixels are made now, a piece at a time (`made` as in
    // FitSteps::adopt), for store() to copy.
    void adopt(const ExtensionData &x, const std::vector<FitRow> &rows, const std::vector<double> &model,
               std::string &text, const std::function<void(int first, int count)> &made = nullptr);
    // The corrected pixels as host-order floats, made on first use from the
    // extension's pixels and the model (the inputs must still be there, unchanged).
    const float *corrected();
    // Writes corrected pixels [first, first + count) big-endian at `to` (the
    // extension's data in the file, pixel `first` first), in one pass; pixels
    // whose science value is not finite keep their bytes (as `to` holds them, or
    // with the lean steps as the science pixels do).  The lean
    // steps make them from the inputs, which must still be there, unchanged:
    // each pixel is stored once (stored over its own science value, it is gone).
    void store(void *to, int first, int count) const;
    // Whether store() writes every byte of its range (the lean steps do): then
    // `to` need not hold the pixels as read first.
    bool store_writes_every_byte() const;
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

#endif
