// The fit without a design matrix.  The constant and gradient values are made per
// pixel, fringe values stay single precision (they are floats widened to double),
// clipped pixels are skipped (with weight 0 they add exactly +0 to every sum), and
// the residual pass also accumulates the next fit's normal equations.  Every sum
// runs over the pixels in storage order, so each accumulator receives the same
// terms in the same order as lfit3 gives it, and the results are identical.
#include "fitpaths.h"

#include "lufit.h"
#include "tsutil.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// The lower triangle of the normal matrix, row by row, and the right-hand side.
struct Normal {
    std::vector<double> tri;
    std::vector<double> beta;
    void clear(int npar)
    {
        tri.assign(size_t(npar) * (npar + 1) / 2, 0.0);
        beta.assign(size_t(npar), 0.0);
    }
};

// The basis values of a pixel: 1, x - nx/2, y - ny/2, then each fringe value.
template <int N>
struct Basis {
    static constexpr int fixed = N;
    double v[N > 0 ? N : 1];
};

// Adds the pixel with basis b and data y to the sums, as lfit3's inner loops do:
// alpha[j][k] += (b[j] * 1.0) * b[k] for k <= j, then beta[j] += y * (b[j] * 1.0).
template <int N>
inline void accumulate(double *tri, double *beta, const double *b, double y, int npar)
{
    const int np = N > 0 ? N : npar;
    int m = 0;
    for (int j = 0; j < np; j++) {
        for (int k = 0; k <= j; k++) tri[m + k] += b[j] * b[k];
        m += j + 1;
        beta[j] += y * b[j];
    }
}

class Lean {
  public:
    explicit Lean(const FitGeometry &geometry) : g(geometry)
    {
        a = vector(1, g.npar);
        acc = vector(1, g.npar);
        indx = ivector(1, g.npar);
        alpha = matrix(1, g.npar, 1, g.npar);
        beta1 = vector(1, g.npar);
        const size_t npix = size_t(g.npix > 0 ? g.npix : 1);
        s = static_cast<double *>(std::malloc(npix * sizeof(double)));
        buf = static_cast<float *>(std::malloc(npix * sizeof(float)));
        fr = static_cast<float *>(std::malloc(npix * size_t(g.nfringe > 0 ? g.nfringe : 1) * sizeof(float)));
        if (!s || !buf || !fr) tserror("allocation failure in transfer buffer");
        w.assign(npix, 0);
        state.assign(npix, USABLE);
        basis.resize(size_t(g.npar));
        fringe_rows.resize(size_t(g.nfringe));
        for (int k = 0; k < g.nfringe; k++) fringe_rows[size_t(k)] = fr + size_t(k) * npix;
    }
    ~Lean()
    {
        std::free(fr);
        std::free(buf);
        std::free(s);
        free_vector(beta1, 1, g.npar);
        free_matrix(alpha, 1, g.npar, 1, g.npar);
        free_ivector(indx, 1, g.npar);
        free_vector(acc, 1, g.npar);
        free_vector(a, 1, g.npar);
    }
    Lean(const Lean &) = delete;
    Lean &operator=(const Lean &) = delete;

    void fit(Mosaic science, const Mosaic *fringes, int e, std::FILE *out, FitTrace *trace)
    {
        switch (g.npar) {
        case 4: fit_n<4>(science, fringes, e, out, trace); break;
        case 5: fit_n<5>(science, fringes, e, out, trace); break;
        case 6: fit_n<6>(science, fringes, e, out, trace); break;
        case 7: fit_n<7>(science, fringes, e, out, trace); break;
        default: fit_n<0>(science, fringes, e, out, trace); break;
        }
    }

  private:
    // Fills the basis of pixel p at (x, y); `b` has npar entries.
    template <int N>
    void basis_at(double *b, int x, int y, int p) const
    {
        const int nf = (N > 0 ? N : g.npar) - 3;
        b[0] = 1.0;
        b[1] = x - g.nx / 2;
        b[2] = y - g.ny / 2;
        for (int k = 0; k < nf; k++) b[3 + k] = fringe_rows[size_t(k)][p];
    }

    // Reads extension e; accumulates the first fit's sums; returns the usable pixels.
    template <int N>
    int load(Mosaic science, const Mosaic *fringes, int e)
    {
        std::fill(state.begin(), state.end(), USABLE);
        for (int k = 0; k < g.nfringe; k++) {
            read_extension(fringe_rows[size_t(k)], fringes[k], e, g.npix);
            mask_fringe(fringe_rows[size_t(k)], state.data(), g.npix);
        }
        read_extension(buf, science, e, g.npix);
        normal.clear(g.npar);
        double *b = basis.data();
        int usable = 0;
        for (int y = 0; y < g.ny; y++)
            for (int x = 0; x < g.nx; x++) {
                const int p = y * g.nx + x;
                const float v = buf[p];
                if (std::isfinite(v)) {
                    s[p] = v;
                } else {
                    s[p] = 0.0;
                    state[size_t(p)] = SCIENCE_NOT_FINITE;
                }
                w[size_t(p)] = state[size_t(p)] == USABLE;
                if (w[size_t(p)]) {
                    usable++;
                    basis_at<N>(b, x, y, p);
                    accumulate<N>(normal.tri.data(), normal.beta.data(), b, s[p], g.npar);
                }
            }
        return usable;
    }

    // a = the solution of the accumulated normal equations, as lfit3 solves them.
    void solve()
    {
        int m = 0;
        for (int j = 1; j <= g.npar; j++)
            for (int k = 1; k <= j; k++) alpha[j][k] = normal.tri[size_t(m++)];
        for (int j = 1; j <= g.npar; j++) beta1[j] = normal.beta[size_t(j - 1)];
        lfit_solve(alpha, beta1, indx, g.npar);
        for (int j = 1; j <= g.npar; j++) a[j] = beta1[j];
    }

    // lfit3's chisq: the weighted squared residual of y under a, over all parameters.
    template <int N>
    double chisq() const
    {
        const int np = N > 0 ? N : g.npar;
        double b[N > 0 ? N : 1];
        std::vector<double> dyn(size_t(N > 0 ? 0 : np));
        double *bp = N > 0 ? b : dyn.data();
        double sum2 = 0.0;
        for (int y = 0; y < g.ny; y++)
            for (int x = 0; x < g.nx; x++) {
                const int p = y * g.nx + x;
                if (!w[size_t(p)]) continue;
                basis_at<N>(bp, x, y, p);
                double sum = 0.0;
                for (int j = 0; j < np; j++) sum += a[j + 1] * bp[j];
                const double r = s[p] - sum;
                sum2 += 1.0 * (r * r);
            }
        return sum2;
    }

    // The driver's residual and 2-sigma clip; when `next` is set, the kept pixels'
    // residuals are accumulated into the normal equations of the next fit.
    template <int N>
    int residual_and_clip(float sigma, bool next)
    {
        const float clip = 2 * sigma;
        const int nf = (N > 0 ? N : g.npar) - 3;
        if (next) normal.clear(g.npar);
        double *b = basis.data();
        int n = 0;
        for (int y = 0; y < g.ny; y++)
            for (int x = 0; x < g.nx; x++) {
                const int p = y * g.nx + x;
                double r = s[p] - (a[1] + a[2] * (x - g.nx / 2) + a[3] * (y - g.ny / 2));
                for (int k = 0; k < nf; k++) r = r - a[4 + k] * double(fringe_rows[size_t(k)][p]);
                s[p] = r;
                const bool keep = state[size_t(p)] == USABLE && !(std::fabs(r) > clip);
                w[size_t(p)] = keep;
                if (keep) {
                    n++;
                    if (next) {
                        basis_at<N>(b, x, y, p);
                        accumulate<N>(normal.tri.data(), normal.beta.data(), b, r, g.npar);
                    }
                }
            }
        return n;
    }

    template <int N>
    void fit_n(Mosaic science, const Mosaic *fringes, int e, std::FILE *out, FitTrace *trace)
    {
        for (int k = 1; k <= g.npar; k++) acc[k] = 0.0;
        int n = load<N>(science, fringes, e);
        for (int iter = 0; iter < FIT_ITERATIONS; iter++) {
            const int nfit = n;
            solve();
            const double chi = chisq<N>();
            const float sigma = float(std::sqrt(chi / nfit));
            if (trace) {
                trace->numbers.insert(trace->numbers.end(), a + 1, a + 1 + g.npar);
                trace->numbers.push_back(chi);
            }
            n = residual_and_clip<N>(sigma, iter + 1 < FIT_ITERATIONS);
            for (int k = 1; k <= g.npar; k++) acc[k] += a[k];
            print_fit_row(out, e, iter, sigma, nfit, acc, g.npar);
        }
        if (trace) trace->numbers.insert(trace->numbers.end(), s, s + g.npix);
        write_residual(buf, s, state.data(), science, e, g.npix);
    }

    FitGeometry g;
    double *a, *acc, *beta1;
    int *indx;
    double **alpha;
    double *s;     // data, then residual, per pixel
    float *buf;    // the science pixels as read, host order
    float *fr;     // nfringe rows of npix fringe values, host order
    std::vector<float *> fringe_rows;
    std::vector<unsigned char> w;     // 1: the pixel takes part in the next fit
    std::vector<unsigned char> state; // PixelState
    std::vector<double> basis;
    Normal normal;
};

} // namespace

void fit_extensions_lean(const FitGeometry &g, Mosaic science, const Mosaic *fringes,
                         std::FILE *out, FitTrace *trace)
{
    Lean fit(g);
    print_fit_head(out, g.nfringe);
    for (int e = 1; e < science->count; e++) fit.fit(science, fringes, e, out, trace);
}
