// The clipped fit in one pass over the pixels per fit (fit_pass): the first
// pass sums the normal matrix of every usable pixel; each later one sums the
// residual's right-hand side and squares with the new clip, and the normal
// matrix of the usable pixels it leaves out, which the first one's less these
// gives (or, when the clip leaves out most pixels, the kept ones' own sum).
// chisq comes from the normal equations, and nothing is kept per pixel:
// the corrected pixels are made from the input pixels and the model when stored.
//
// The first pass fits the residual from a constant near the sky (the mean of
// the usable science values of the middle row), so that its sums of squares stay
// close to chisq; the constant is part of the model the table shows.
#include "fit_lean.h"

#include "fit_pass.h"
#include "lufit.h"
#include "pixels.h"
#include "tsutil.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

ClippedSums::ClippedSums(const FitGeometry &g) : g_(g), first_(g.nfringe), now_(g.nfringe) {}

int ClippedSums::first_pass(const ExtensionData &x, const double *model)
{
    first_.clear();
    fit_pass(g_, x, model, std::numeric_limits<double>::infinity(), GramOf::kept, 0, g_.ny, first_);
    later_ = direct_ = false;
    return int(first_.kept);
}

int ClippedSums::later_pass(const ExtensionData &x, const double *model, double limit)
{
    now_.clear();
    fit_pass(g_, x, model, limit, GramOf::clipped, 0, g_.ny, now_);
    later_ = true;
    // When the clip leaves out most pixels, the difference of the two matrices
    // would be mostly rounding: the kept pixels' own is summed.
    direct_ = 2 * now_.kept < first_.kept;
    if (direct_) {
        now_.clear();
        fit_pass(g_, x, model, limit, GramOf::kept, 0, g_.ny, now_);
    }
    return int(now_.kept);
}

double ClippedSums::gram(int i, int j) const
{
    const size_t at = size_t(gram_at(i, j));
    return later_ && !direct_ ? first_.gram[at] - now_.gram[at] : latest().gram[at];
}

double sky_level(const FitGeometry &g, const ExtensionData &x)
{
    const int y = g.ny / 2;
    double sum = 0.0;
    int n = 0;
    for (int i = 0; i < g.nx; i++) {
        const int64_t p = int64_t(y) * g.nx + i;
        const float v = std::bit_cast<float>(be32_at(x.science, p));
        if (!std::isfinite(v) || (x.mask && x.mask[p])) continue;
        sum += double(v);
        n++;
    }
    return n ? sum / n : 0.0;
}

namespace {

class Lean final : public FitSteps {
  public:
    explicit Lean(const FitGeometry &geometry)
        : g(geometry), sums(geometry), model(size_t(g.npar) + 1, 0.0),
          step(size_t(g.npar) + 1, 0.0)
    {
        a = vector(1, g.npar);
        indx = ivector(1, g.npar);
        alpha = matrix(1, g.npar, 1, g.npar);
        beta1 = vector(1, g.npar);
    }
    ~Lean()
    {
        free_vector(beta1, 1, g.npar);
        free_matrix(alpha, 1, g.npar, 1, g.npar);
        free_ivector(indx, 1, g.npar);
        free_vector(a, 1, g.npar);
    }
    Lean(const Lean &) = delete;
    Lean &operator=(const Lean &) = delete;

    int load(const ExtensionData &x) override
    {
        loaded = x;
        made_here.clear();
        residuals.clear();
        std::fill(model.begin(), model.end(), 0.0);
        model[1] = sky_level(g, x);
        return sums.first_pass(x, model.data());
    }
    bool solve() override
    {
        for (int i = 0; i < g.npar; i++)
            for (int j = 0; j <= i; j++) alpha[i + 1][j + 1] = sums.gram(i, j);
        for (int j = 1; j <= g.npar; j++) beta1[j] = sums.latest().rhs[size_t(j - 1)];
        if (!lfit_solve(alpha, beta1, indx, g.npar)) return false;
        for (int j = 1; j <= g.npar; j++) step[size_t(j)] = a[j] = beta1[j];
        // What the first fit adds to a model of 0: its constant starts from the sky.
        if (!sums.later()) a[1] += model[1];
        return true;
    }
    const double *coefficients() const override { return a; }
    bool adopt(const ExtensionData &x, const double *given, const std::function<void(int, int)> &made) override
    {
        loaded = x;
        residuals.clear();
        std::copy(given + 1, given + 1 + g.npar, model.begin() + 1);
        // Made here, on the thread that adopts, while the writer writes the
        // extension before.
        made_here.resize(size_t(g.npix) * 4);
        constexpr int PIECE = 1 << 20;
        for (int first = 0; first < g.npix; first += PIECE) {
            const int n = std::min(PIECE, g.npix - first);
            unsigned char *to = made_here.data() + size_t(first) * 4;
            store_corrected(g, loaded, model.data(), to, first, n);
            if (made) made(first, n);
        }
        return true;
    }
    // sum w (r - u.a)^2 = sum w r^2 - a.beta at the solution of the equations.
    double chisq() override
    {
        const PassSums &latest = sums.latest();
        double fitted = 0.0;
        for (int j = 1; j <= g.npar; j++) fitted += step[size_t(j)] * latest.rhs[size_t(j - 1)];
        return std::max(0.0, latest.squares - fitted);
    }
    int residual_and_clip(float limit, bool next) override
    {
        for (int j = 1; j <= g.npar; j++) model[size_t(j)] += step[size_t(j)];
        residuals.clear();
        if (!next) return int(sums.latest().kept);
        return sums.later_pass(loaded, model.data(), double(limit));
    }
    // For tests and traces only: made when asked for.
    const double *residual() const override { return made().data(); }
    const unsigned char *pixel_states() const override
    {
        made();
        return states.data();
    }
    void store(void *to, int first_pixel, int count) const override
    {
        if (!made_here.empty())
            std::memcpy(to, made_here.data() + size_t(first_pixel) * 4, size_t(count) * 4);
        else
            store_corrected(g, loaded, model.data(), to, first_pixel, count);
    }
    bool store_writes_every_byte() const override { return true; }
    const float *finish() override
    {
        corrected.resize(size_t(g.npix));
        store(corrected.data(), 0, g.npix);
        for (float &v : corrected) v = std::bit_cast<float>(load_be32(&v));
        return corrected.data();
    }

  private:
    const std::vector<double> &made() const
    {
        if (residuals.empty()) {
            residuals.resize(size_t(g.npix));
            states.resize(size_t(g.npix));
            pixel_residuals(g, loaded, model.data(), residuals.data(), states.data());
        }
        return residuals;
    }

    FitGeometry g;
    ClippedSums sums;
    std::vector<double> model; // [1..npar]: the model so far
    std::vector<double> step;  // [1..npar]: the latest fit's solution, on the model so far
    double *a, *beta1;         // a: that solution as added to a model of 0
    int *indx;
    double **alpha;
    ExtensionData loaded;
    mutable std::vector<double> residuals;
    mutable std::vector<unsigned char> states;
    std::vector<float> corrected;
    std::vector<unsigned char> made_here; // adopted: the corrected pixels, big-endian
};

} // namespace

std::unique_ptr<FitSteps> make_lean_steps(const FitGeometry &g) { return std::make_unique<Lean>(g); }
