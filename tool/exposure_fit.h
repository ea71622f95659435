// The fit of a whole exposure: one clipped least-squares fit over several
// extensions at once, in which each fringe frame has one amplitude for all of
// them while the constant and the x and y gradients stay each extension's own.
// The model of extension e is
//     c_e + gx_e (x - nx/2) + gy_e (y - ny/2) + sum_k A_k f_k,e.
// Every fit is made on the residual of the fit before, each extension with its
// own sigma and clip, as the fit of one extension is (fringefit.h).
//
// Each fit solves the joint normal equations by eliminating every extension's
// three numbers: with the extension's normal matrix split into its own block A
// (3 x 3), the block B (3 x K) it shares with the amplitudes and their block C
// (K x K), and its right-hand side into b and c,
//     S = sum_e (C_e - B_e^T A_e^-1 B_e),   t = sum_e (c_e - B_e^T A_e^-1 b_e),
// the amplitudes' step solves S g = t and each extension's own step is
// A_e^-1 (b_e - B_e g): the cost is linear in the extensions.  Each
// extension's sums are made by one pass over its pixels (fit_pass.h, in an
// order fixed by the code), on whichever thread takes it; S and t are added in
// the extensions' order on one thread.  So the results do not depend on the
// number of threads.  Nothing is kept per pixel between the fits: each pass
// reads the pixels as they lie in the files.
#ifndef TOLV_EXPOSURE_FIT_H
#define TOLV_EXPOSURE_FIT_H

#include "fit_steps.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// What the fit of an exposure gives, per extension in the order given: the
// table's rows (one per fit) and the model subtracted, [1..npar] (the row's
// coefficients as computed).  `shared` holds each fit's step of the amplitudes
// (nfringe a fit): given back to exposure_fit, it fits any of the extensions
// exactly as they were fitted together.
struct ExposureFit {
    std::vector<std::vector<FitRow>> rows;
    std::vector<std::vector<double>> models;
    std::vector<double> shared;
    // When the joint equations could not be solved: the fit (0-based) and the
    // extension whose own block is singular (0 when the amplitudes' is).
    int singular_fit = -1, singular_extn = 0;
};

// The data of extension j for a pass; `mask` is the thread's own buffer of npix
// bytes, for a mask read from a file.
using ExposureData = std::function<ExtensionData(size_t j, std::vector<unsigned char> &mask)>;
// Called once a pass has read extension j (its pages may go).
using ExposurePassed = std::function<void(size_t j)>;

// Fits extensions 0..count-1 together, `threads` passes at once.  With `shared`
// (a fit's result above, of settings.iterations fits), the amplitudes' steps are
// taken from it rather than solved: each extension is then fitted on its own,
// as it was within the exposure.  False when a system is singular.
bool exposure_fit(const FitGeometry &g, FitSettings settings, size_t count, int threads, const ExposureData &data,
                  const ExposurePassed &passed, ExposureFit *out, bool masks,
                  const std::vector<double> *shared = nullptr);

// What the journal records of an extension fitted with its exposure: its rows,
// then a line "#shared STEPS" with the amplitudes' steps, exactly (hexadecimal
// floats), so that a rerun fits the extensions left as they were fitted.
std::string recorded_rows(const std::string &rows, const std::vector<double> &shared);
// The longest line recorded_rows adds for that many steps.
int64_t shared_line_bound(size_t steps);
// The table's rows of what the journal recorded; the steps it carries in
// *shared (empty when none).
std::string table_rows_of(const std::string &recorded, std::vector<double> *shared = nullptr);

#endif
