// The fit as a design matrix: rows 1..3 the constant and the x and y gradients,
// rows 4.. the fringe frames, each a double per pixel; lfit3 solves each iteration.
#include "fit_reference.h"

#include "lfit3.h"
#include "pixels.h"
#include "tsutil.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

struct Straight final : FitSteps {
    FitGeometry g;
    double **X;   // [1..npar][1..npix]
    double *s;    // data, then residual [1..npix]
    double *w;    // weights [1..npix]
    double *a;    // latest coefficients [1..npar]
    double chi = 0.0;
    int *lista;   // 1..npar: every parameter fitted
    float *buf;   // transfer buffer, host order
    std::vector<unsigned char> state;

    explicit Straight(const FitGeometry &geometry) : g(geometry)
    {
        a = vector(1, g.npar);
        X = matrix(1, g.npar, 1, g.npix);
        s = vector(1, g.npix);
        w = vector(1, g.npix);
        buf = static_cast<float *>(std::malloc(size_t(g.npix > 0 ? g.npix : 1) * sizeof(float)));
        if (!buf) tserror("allocation failure in transfer buffer");
        lista = ivector(1, g.npar);
        for (int k = 1; k <= g.npar; k++) lista[k] = k;
        state.assign(size_t(g.npix), USABLE);
        for (int y = 0; y < g.ny; y++)
            for (int x = 0; x < g.nx; x++) {
                const int p = y * g.nx + x + 1;
                X[1][p] = 1.0;
                X[2][p] = x - g.nx / 2;
                X[3][p] = y - g.ny / 2;
            }
    }
    ~Straight()
    {
        free_ivector(lista, 1, g.npar);
        std::free(buf);
        free_vector(w, 1, g.npix);
        free_vector(s, 1, g.npix);
        free_matrix(X, 1, g.npar, 1, g.npix);
        free_vector(a, 1, g.npar);
    }
    Straight(const Straight &) = delete;
    Straight &operator=(const Straight &) = delete;

    // Fringe rows and data of the extension; returns the number of usable pixels.
    int load(const ExtensionData &x) override
    {
        std::fill(state.begin(), state.end(), USABLE);
        for (int k = 1; k <= g.nfringe; k++) {
            read_floats(buf, x.fringes[size_t(k - 1)], g.npix);
            mask_fringe(buf, state.data(), g.npix);
            for (int p = 1; p <= g.npix; p++) X[3 + k][p] = buf[p - 1];
        }
        read_floats(buf, x.science, g.npix);
        int usable = 0;
        for (int p = 1; p <= g.npix; p++) {
            const float v = buf[p - 1];
            if (std::isfinite(v)) {
                s[p] = v;
                if (x.mask && x.mask[p - 1] && state[p - 1] == USABLE) state[p - 1] = MASKED;
            } else {
                s[p] = 0.0;
                state[p - 1] = SCIENCE_NOT_FINITE;
            }
            w[p] = state[p - 1] == USABLE ? 1.0 : 0.0;
            usable += state[p - 1] == USABLE;
        }
        return usable;
    }

    // lfit3 solves, and gives chisq with it; a singular system ends the process.
    bool solve() override
    {
        lfit3(X, s, w, g.npix, a, g.npar, lista, g.npar, &chi);
        return true;
    }
    const double *coefficients() const override { return a; }
    double chisq() override { return chi; }

    // Replaces s by its residual and clips beyond `clip`; returns the pixels kept.
    int residual_and_clip(float clip, bool) override
    {
        int n = 0;
        for (int y = 0; y < g.ny; y++)
            for (int x = 0; x < g.nx; x++) {
                const int p = y * g.nx + x + 1;
                double r = s[p] - (a[1] + a[2] * (x - g.nx / 2) + a[3] * (y - g.ny / 2));
                for (int k = 4; k <= g.npar; k++) r = r - a[k] * X[k][p];
                s[p] = r;
                if (state[p - 1] != USABLE || std::fabs(r) > clip) {
                    w[p] = 0.0;
                } else {
                    w[p] = 1.0;
                    n++;
                }
            }
        return n;
    }
    const double *residual() const override { return s + 1; }
    const unsigned char *pixel_states() const override { return state.data(); }
    const float *finish() override
    {
        residual_to_pixels(buf, s + 1, state.data(), g.npix);
        return buf;
    }
};

} // namespace

std::unique_ptr<FitSteps> make_straight_steps(const FitGeometry &g) { return std::make_unique<Straight>(g); }
