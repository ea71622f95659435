// The fit without a design matrix, row by row.  Fringe values stay single
// precision (they are floats widened to double), the constant and gradient values
// are made on the fly, pixels with weight 0 are skipped (they add exactly +0 to
// every sum), and the residual pass also accumulates the next fit's normal
// equations.  Each accumulator receives the same terms in the same order as in
// lfit3, so every result is identical to the design-matrix path.
//
// The sums of products of the constant and the two gradients are sums of
// integers; while every partial sum stays below 2^53 they are exact in double in
// any order, so they are counted per row in 64-bit integers instead.
#include "fitpaths.h"

#include "lufit.h"
#include "tsutil.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Accumulators of the normal equations.  ints: the products of 1, gx and gy
// (count, sx, sy, sxx, sxy, syy); fr[f] holds fringe f's row of the lower
// triangle: its products with 1, gx, gy and fringes 0..f; beta the right-hand side.
struct Sums {
    int64_t count, sx, sy, sxx, sxy, syy;
    std::vector<double> fr;
    std::vector<double> beta;
};

// Offset of fringe f's triangle row (3 + f + 1 entries) in Sums::fr.
constexpr int fringe_row_offset(int f) { return f * 3 + f * (f + 1) / 2; }

// Counts of the integer block for one row: kept pixels, the sum of gx and of gx^2.
struct RowCounts {
    int64_t n = 0, sx = 0, sxx = 0;
    void add(int ix)
    {
        n++;
        sx += ix;
        sxx += int64_t(ix) * ix;
    }
};

// Adds a kept pixel with basis b (1, gx, gy, then nf fringe values) and data dv:
// fringe k's row of the triangle t gets b[3+k] * b[j] for j <= 3+k (the product
// with 1.0 being b[3+k] itself), the right-hand side bt gets dv * b[j].
inline void add_pixel(double *t, double *bt, const double *b, double dv, int nf)
{
    for (int k = 0; k < nf; k++) {
        double *tr = t + fringe_row_offset(k);
        const double fk = b[3 + k];
        tr[0] += fk;
        for (int j = 1; j <= 3 + k; j++) tr[j] += fk * b[j];
    }
    bt[0] += dv;
    for (int j = 1; j < nf + 3; j++) bt[j] += dv * b[j];
}

class Lean final : public FitSteps {
  public:
    explicit Lean(const FitGeometry &geometry) : g(geometry)
    {
        a = vector(1, g.npar);
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
        term.assign(size_t(g.nx > 0 ? g.nx : 1), 0.0);
        for (int k = 0; k < g.nfringe; k++) fringe_rows.push_back(fr + size_t(k) * npix);
        sums.fr.assign(size_t(fringe_row_offset(g.nfringe)), 0.0);
        sums.beta.assign(size_t(g.npar), 0.0);
        // |gx| <= nx/2 and |gy| <= ny/2: bound every partial sum of the integer block.
        const double m = double(std::max(g.nx / 2, g.ny / 2) + 1);
        exact_integers = double(g.npix) * m * m < 9007199254740992.0; // 2^53
    }
    ~Lean()
    {
        std::free(fr);
        std::free(buf);
        std::free(s);
        free_vector(beta1, 1, g.npar);
        free_matrix(alpha, 1, g.npar, 1, g.npar);
        free_ivector(indx, 1, g.npar);
        free_vector(a, 1, g.npar);
    }
    Lean(const Lean &) = delete;
    Lean &operator=(const Lean &) = delete;

    // Calls f.template operator()<NF>() with NF the number of fringe frames when
    // there is a fixed-size path for it, else 0.
    template <typename F>
    auto by_frames(F &&f)
    {
        switch (g.nfringe) {
        case 1: return f.template operator()<1>();
        case 2: return f.template operator()<2>();
        case 3: return f.template operator()<3>();
        case 4: return f.template operator()<4>();
        default: return f.template operator()<0>();
        }
    }

    int load(const ExtensionData &x) override
    {
        return by_frames([&]<int NF>() { return load_n<NF>(x); });
    }
    bool solve() override { return solve_n(); }
    const double *coefficients() const override { return a; }
    double chisq() override
    {
        return by_frames([&]<int NF>() { return chisq_n<NF>(); });
    }
    int residual_and_clip(float limit, bool next) override
    {
        return by_frames([&]<int NF>() { return residual_and_clip_n<NF>(limit, next); });
    }
    const double *residual() const override { return s; }
    const unsigned char *pixel_states() const override { return state.data(); }
    const float *finish() override
    {
        residual_to_pixels(buf, s, state.data(), g.npix);
        return buf;
    }

  private:
    void clear_sums()
    {
        sums.count = sums.sx = sums.sy = sums.sxx = sums.sxy = sums.syy = 0;
        std::fill(sums.fr.begin(), sums.fr.end(), 0.0);
        std::fill(sums.beta.begin(), sums.beta.end(), 0.0);
    }

    // Adds the kept pixels of row y, with data d[x], to the sums in pixel order:
    // per pixel, alpha[j][k] += b[j] * b[k] and beta[j] += d * b[j], where a
    // product with the constant 1.0 is the other factor itself.
    template <int NF>
    void accumulate_row(int y, const double *d)
    {
        const size_t row = size_t(y) * size_t(g.nx);
        const unsigned char *wr = w.data() + row;
        const double gy = y - g.ny / 2;
        RowCounts c;
        if constexpr (NF > 0)
            accumulate_fixed<NF>(wr, row, gy, d, c);
        else
            accumulate_scalar(wr, row, gy, d, c);
        const int64_t iy = y - g.ny / 2;
        sums.count += c.n;
        sums.sx += c.sx;
        sums.sxx += c.sxx;
        sums.sy += iy * c.n;
        sums.sxy += iy * c.sx;
        sums.syy += iy * iy * c.n;
    }

    // The integer block of one kept pixel as doubles, when it is not exact as integers.
    void add_integer_block(double gx, double gy)
    {
        ix_block[0] += 1.0;
        ix_block[1] += gx;
        ix_block[2] += gx * gx;
        ix_block[3] += gy;
        ix_block[4] += gy * gx;
        ix_block[5] += gy * gy;
    }

    // A fixed number of fringe frames: the sums of the row are kept in local
    // arrays, which the compiler holds in registers.
    template <int NF>
    void accumulate_fixed(const unsigned char *wr, size_t row, double gy, const double *d, RowCounts &c)
    {
        constexpr int N = NF + 3;
        double T[fringe_row_offset(NF)];
        double B[N];
        std::copy(sums.fr.begin(), sums.fr.end(), T);
        std::copy(sums.beta.begin(), sums.beta.end(), B);
        const float *f[NF];
        for (int k = 0; k < NF; k++) f[k] = fringe_rows[size_t(k)] + row;
        for (int x = 0; x < g.nx; x++) {
            if (!wr[x]) continue;
            const int ix = x - g.nx / 2;
            c.add(ix);
            double b[N] = {1.0, double(ix), gy};
            for (int k = 0; k < NF; k++) b[3 + k] = f[k][x];
            if (!exact_integers) add_integer_block(b[1], gy);
            add_pixel(T, B, b, d[x], NF);
        }
        std::copy(T, T + fringe_row_offset(NF), sums.fr.begin());
        std::copy(B, B + N, sums.beta.begin());
    }

    // Any number of fringe frames, accumulator by accumulator.
    void accumulate_scalar(const unsigned char *wr, size_t row, double gy, const double *d, RowCounts &c)
    {
        const int nf = g.nfringe;
        std::vector<double> b(size_t(nf + 3));
        for (int x = 0; x < g.nx; x++) {
            if (!wr[x]) continue;
            const int ix = x - g.nx / 2;
            c.add(ix);
            b[0] = 1.0;
            b[1] = ix;
            b[2] = gy;
            for (int k = 0; k < nf; k++) b[size_t(3 + k)] = fringe_rows[size_t(k)][row + size_t(x)];
            if (!exact_integers) add_integer_block(b[1], gy);
            add_pixel(sums.fr.data(), sums.beta.data(), b.data(), d[x], nf);
        }
    }

    // a = the solution of the accumulated normal equations, as lfit3 solves them;
    // false when they are singular.
    bool solve_n()
    {
        double **al = alpha;
        if (exact_integers) {
            al[1][1] = double(sums.count);
            al[2][1] = double(sums.sx);
            al[2][2] = double(sums.sxx);
            al[3][1] = double(sums.sy);
            al[3][2] = double(sums.sxy);
            al[3][3] = double(sums.syy);
        } else {
            al[1][1] = ix_block[0];
            al[2][1] = ix_block[1];
            al[2][2] = ix_block[2];
            al[3][1] = ix_block[3];
            al[3][2] = ix_block[4];
            al[3][3] = ix_block[5];
        }
        for (int k = 0; k < g.nfringe; k++) {
            const double *tr = sums.fr.data() + fringe_row_offset(k);
            for (int j = 0; j <= 3 + k; j++) al[4 + k][1 + j] = tr[j];
        }
        for (int j = 1; j <= g.npar; j++) beta1[j] = sums.beta[size_t(j - 1)];
        if (!lfit_solve(alpha, beta1, indx, g.npar)) return false;
        for (int j = 1; j <= g.npar; j++) a[j] = beta1[j];
        return true;
    }

    // Reads the extension and accumulates the first fit; returns the usable pixels.
    template <int NF>
    int load_n(const ExtensionData &x)
    {
        std::fill(state.begin(), state.end(), USABLE);
        for (int k = 0; k < g.nfringe; k++) {
            read_floats(fringe_rows[size_t(k)], x.fringes[size_t(k)], g.npix);
            mask_fringe(fringe_rows[size_t(k)], state.data(), g.npix);
        }
        read_floats(buf, x.science, g.npix);
        for (int p = 0; p < g.npix; p++) {
            const float v = buf[p];
            const bool finite = std::isfinite(v);
            s[p] = finite ? double(v) : 0.0;
            if (!finite) state[size_t(p)] = SCIENCE_NOT_FINITE;
            else if (x.mask && x.mask[p] && state[size_t(p)] == USABLE) state[size_t(p)] = MASKED;
            w[size_t(p)] = state[size_t(p)] == USABLE;
        }
        clear_sums();
        std::fill(ix_block, ix_block + 6, 0.0);
        for (int y = 0; y < g.ny; y++) accumulate_row<NF>(y, s + size_t(y) * size_t(g.nx));
        return int(sums.count);
    }

    // lfit3's chisq: sum over the pixels, in order, of w (y - sum_j a[j] b[j])^2.
    template <int NF>
    double chisq_n()
    {
        const int nf = NF > 0 ? NF : g.nfringe;
        const int nx = g.nx;
        const double a1 = a[1], a2 = a[2];
        double *__restrict t = term.data();
        double total = 0.0;
        for (int y = 0; y < g.ny; y++) {
            const size_t row = size_t(y) * size_t(nx);
            const double *__restrict sr = s + row;
            const unsigned char *__restrict wr = w.data() + row;
            const double base_y = a[3] * double(y - g.ny / 2);
            // The model sum of each pixel, first term first, as lfit3 adds it.
            for (int x = 0; x < nx; x++) {
                double sum = 0.0;
                sum += a1 * 1.0;
                sum += a2 * double(x - nx / 2);
                sum += base_y;
                t[x] = sum;
            }
            for (int k = 0; k < nf; k++) {
                const float *__restrict fk = fringe_rows[size_t(k)] + row;
                const double ak = a[4 + k];
                for (int x = 0; x < nx; x++) t[x] += ak * double(fk[x]);
            }
            for (int x = 0; x < nx; x++) {
                const double r = sr[x] - t[x];
                t[x] = double(wr[x]) * (r * r);
            }
            for (int x = 0; x < nx; x++) total += t[x];
        }
        return total;
    }

    // The residual and the clip at `clip`; when `next`, the kept pixels'
    // residuals are accumulated for the next fit.  Returns the pixels kept.
    template <int NF>
    int residual_and_clip_n(float clip, bool next)
    {
        const int nf = NF > 0 ? NF : g.nfringe;
        if (next) {
            clear_sums();
            std::fill(ix_block, ix_block + 6, 0.0);
        }
        int n = 0;
        const int nx = g.nx;
        const double a1 = a[1], a2 = a[2];
        for (int y = 0; y < g.ny; y++) {
            const size_t row = size_t(y) * size_t(nx);
            double *__restrict sr = s + row;
            unsigned char *__restrict wr = w.data() + row;
            const unsigned char *__restrict st = state.data() + row;
            const double base_y = a[3] * double(y - g.ny / 2);
            for (int x = 0; x < nx; x++) sr[x] = sr[x] - (a1 + a2 * double(x - nx / 2) + base_y);
            for (int k = 0; k < nf; k++) {
                const float *__restrict fk = fringe_rows[size_t(k)] + row;
                const double ak = a[4 + k];
                for (int x = 0; x < nx; x++) sr[x] = sr[x] - ak * double(fk[x]);
            }
            int kept = 0;
            for (int x = 0; x < nx; x++) {
                const unsigned char keep = (st[x] == USABLE) & !(std::fabs(sr[x]) > double(clip));
                wr[x] = keep;
                kept += keep;
            }
            n += kept;
            if (next) accumulate_row<NF>(y, sr);
        }
        return n;
    }

    FitGeometry g;
    bool exact_integers;
    double *a, *beta1;
    int *indx;
    double **alpha;
    double *s;     // data, then residual, per pixel
    float *buf;    // the science pixels as read, host order
    float *fr;     // nfringe rows of npix fringe values, host order
    std::vector<float *> fringe_rows;
    std::vector<unsigned char> w;     // 1: the pixel takes part in the next fit
    std::vector<unsigned char> state; // PixelState
    std::vector<double> term;         // one row of chisq terms
    Sums sums;
    double ix_block[6];               // the integer block as doubles, when not exact
};

} // namespace

std::unique_ptr<FitSteps> make_lean_steps(const FitGeometry &g) { return std::make_unique<Lean>(g); }
