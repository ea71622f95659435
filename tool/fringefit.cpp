// The clipped fringe fit: the loop of fits on the residual of the one before, with
// the pixels beyond clip * sigma left out, the coefficients accumulated and a row
// made per fit.
#include "fringefit.h"

#include "fit_lean.h"
#include "tsutil.h"

#include <algorithm>
#include <cmath>
#include <utility>

FitGeometry fit_geometry(Mosaic science, int nfringe, int first)
{
    FitGeometry g{};
    if (first > 0 && first < science->count) {
        const FITSBasic b = science->head[first]->basic;
        g.nx = b->naxis[0];
        g.ny = b->naxis[1];
        g.npix = g.nx * g.ny;
    }
    g.nfringe = nfringe;
    g.npar = nfringe + 3;
    return g;
}

int64_t fitter_bytes(const FitGeometry &g)
{
    // Nothing per pixel: a row of each input as doubles and its masks, and the
    // sums of two passes with the row's accumulators (8 lanes a sum).
    const int64_t npar = g.nfringe + 3;
    return int64_t(g.nx + 8) * (8 * (g.nfringe + 1) + 12) + npar * npar * 8 * 12 + 65536;
}

ExtensionFitter::ExtensionFitter(const FitGeometry &g, FitSettings settings)
    : ExtensionFitter(make_lean_steps(g), g, settings)
{
}

ExtensionFitter::ExtensionFitter(std::unique_ptr<FitSteps> steps, const FitGeometry &g, FitSettings settings)
    : g_(g), settings_(settings), steps_(std::move(steps)), acc_(size_t(g.npar) + 1, 0.0)
{
}

FitOutcome ExtensionFitter::fit(const ExtensionData &x, std::string &rows, FitTrace *trace)
{
    std::fill(acc_.begin(), acc_.end(), 0.0);
    rows_.clear();
    int n = steps_->load(x);
    for (int iter = 0; iter < settings_.iterations; iter++) {
        const int nfit = n; // the pixels going into this fit
        if (!steps_->solve()) return FitOutcome::singular;
        const double *a = steps_->coefficients();
        const double chi = steps_->chisq();
        const float sigma = float(std::sqrt(chi / nfit));
        if (trace) {
            trace->numbers.insert(trace->numbers.end(), a + 1, a + 1 + g_.npar);
            trace->numbers.push_back(chi);
        }
        n = steps_->residual_and_clip(settings_.clip * sigma, iter + 1 < settings_.iterations);
        for (int k = 1; k <= g_.npar; k++) acc_[size_t(k)] += a[k];
        append_fit_row(rows, x.extn, iter, sigma, nfit, acc_.data(), g_.npar);
        rows_.push_back({x.extn, iter, sigma, nfit, acc_});
    }
    if (trace) trace->numbers.insert(trace->numbers.end(), steps_->residual(), steps_->residual() + g_.npix);
    if (!rows_.empty()) last_ = rows_.back();
    corrected_ = nullptr;
    return FitOutcome::fitted;
}

void ExtensionFitter::adopt(const ExtensionData &x, const std::vector<FitRow> &rows, const std::vector<double> &model,
                            std::string &text, const std::function<void(int first, int count)> &made)
{
    if (!steps_->adopt(x, model.data(), made)) tserror("these fit steps cannot take a fit made elsewhere");
    rows_ = rows;
    for (const FitRow &r : rows) append_fit_row(text, r.extn, r.iter, r.sigma, r.npix, r.a.data(), g_.npar);
    if (!rows_.empty()) last_ = rows_.back();
    corrected_ = nullptr;
}

const float *ExtensionFitter::corrected()
{
    if (!corrected_) corrected_ = steps_->finish();
    return corrected_;
}

void ExtensionFitter::store(void *to, int first, int count) const
{
    steps_->store(to, first, count);
}

bool ExtensionFitter::store_writes_every_byte() const { return steps_->store_writes_every_byte(); }
