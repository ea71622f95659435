// The clipped fringe fit: a design matrix of npar rows (constant, x and y gradient,
// one row per fringe frame) over every pixel, five weighted fits each on the
// residual of the last with a 2-sigma clip, and the residual written back.
#include "fringefit.h"

#include "lufit.h"
#include "tsutil.h"

#include <cfloat>
#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

constexpr int ITERATIONS = 5;

// Why a pixel takes no part in the fits.
enum PixelState : unsigned char {
    USABLE = 0,
    FRINGE_NOT_FINITE = 1,  // some fringe value is not finite: modelled without it
    SCIENCE_NOT_FINITE = 2  // written back unchanged
};

void print_head(std::FILE *out, int nfringe)
{
    std::fprintf(out, "Extn\tIter\tSigma\tNpix\tAconst\tAx\tAy");
    for (int k = 0; k < nfringe; k++) std::fprintf(out, "\tAfringe%02d", k);
    std::fprintf(out, "\n");
    std::fprintf(out, "----\t----\t-----\t----\t------\t--\t--");
    for (int k = 0; k < nfringe; k++) std::fprintf(out, "\t---------");
    std::fprintf(out, "\n");
}

void print_row(std::FILE *out, int extn, int iter, float sigma, int nfit, const double *acc,
               int npar)
{
    std::fprintf(out, "%d\t%d\t%f\t%d", extn, iter, double(sigma), nfit);
    for (int k = 1; k <= npar; k++) std::fprintf(out, "\t%f", acc[k]);
    std::fprintf(out, "\n");
}

// The float nearest to a residual.  A finite pixel stays finite: a residual beyond
// the float range is held at its limit, and one that is not a number keeps the
// pixel's value.
float to_pixel(double r, float original)
{
    if (std::isnan(r)) return original;
    if (r > double(FLT_MAX)) return FLT_MAX;
    if (r < -double(FLT_MAX)) return -FLT_MAX;
    return float(r);
}

struct Fit {
    int nx, ny, npix, npar, nfringe;
    double **X;      // design matrix [1..npar][1..npix]
    double *s;       // data, then residual [1..npix]
    double *w;       // weights [1..npix]
    double *a;       // latest coefficients [1..npar]
    double *acc;     // accumulated coefficients [1..npar]
    int *lista;      // 1..npar: every parameter fitted
    float *buf;      // transfer buffer, host order, buf[p - 1] for pixel p
    std::vector<unsigned char> state; // PixelState of pixel p at p - 1
};

void fill_gradients(Fit &f)
{
    for (int y = 0; y < f.ny; y++)
        for (int x = 0; x < f.nx; x++) {
            const int p = y * f.nx + x + 1;
            f.X[1][p] = 1.0;
            f.X[2][p] = x - f.nx / 2;
            f.X[3][p] = y - f.ny / 2;
        }
}

// Reads extension e of every fringe frame into its design row and of the science
// frame into s, marking the pixels that hold a value that is not finite.  Such a
// value is stored as 0.0, so that with weight 0 it adds exactly nothing.
int load_extension(Fit &f, Mosaic science, const Mosaic *fringes, int e)
{
    std::fill(f.state.begin(), f.state.end(), USABLE);
    for (int k = 1; k <= f.nfringe; k++) {
        swap4(f.buf, fringes[k - 1]->data[e], int64_t(f.npix) * 4);
        double *row = f.X[3 + k];
        for (int p = 1; p <= f.npix; p++) {
            const float v = f.buf[p - 1];
            if (std::isfinite(v)) {
                row[p] = v;
            } else {
                row[p] = 0.0;
                f.state[p - 1] = FRINGE_NOT_FINITE;
            }
        }
    }
    swap4(f.buf, science->data[e], int64_t(f.npix) * 4);
    int usable = 0;
    for (int p = 1; p <= f.npix; p++) {
        const float v = f.buf[p - 1];
        if (!std::isfinite(v)) {
            f.s[p] = 0.0;
            f.state[p - 1] = SCIENCE_NOT_FINITE;
        } else {
            f.s[p] = v;
        }
        f.w[p] = f.state[p - 1] == USABLE ? 1.0 : 0.0;
        usable += f.state[p - 1] == USABLE;
    }
    return usable;
}

// Replaces s by its residual under the latest coefficients and clips at 2 sigma;
// returns the number of pixels the next fit uses.
int residual_and_clip(Fit &f, float sigma)
{
    const float clip = 2 * sigma;
    const double *a = f.a;
    int n = 0;
    for (int y = 0; y < f.ny; y++)
        for (int x = 0; x < f.nx; x++) {
            const int p = y * f.nx + x + 1;
            double r = f.s[p] - (a[1] + a[2] * (x - f.nx / 2) + a[3] * (y - f.ny / 2));
            for (int k = 4; k <= f.npar; k++) r = r - a[k] * f.X[k][p];
            f.s[p] = r;
            if (f.state[p - 1] != USABLE || std::fabs(r) > clip) {
                f.w[p] = 0.0;
            } else {
                f.w[p] = 1.0;
                n++;
            }
        }
    return n;
}

void write_back(Fit &f, Mosaic science, int e)
{
    for (int p = 1; p <= f.npix; p++)
        if (f.state[p - 1] != SCIENCE_NOT_FINITE) f.buf[p - 1] = to_pixel(f.s[p], f.buf[p - 1]);
    swap4(science->data[e], f.buf, int64_t(f.npix) * 4);
}

void fit_extension(Fit &f, Mosaic science, const Mosaic *fringes, int e, std::FILE *out)
{
    for (int k = 1; k <= f.npar; k++) f.acc[k] = 0.0;
    int n = load_extension(f, science, fringes, e);
    for (int iter = 0; iter < ITERATIONS; iter++) {
        const int nfit = n;
        double chisq;
        lfit3(f.X, f.s, f.w, f.npix, f.a, f.npar, f.lista, f.npar, &chisq);
        const float sigma = float(std::sqrt(chisq / nfit));
        n = residual_and_clip(f, sigma);
        for (int k = 1; k <= f.npar; k++) f.acc[k] += f.a[k];
        print_row(out, e, iter, sigma, nfit, f.acc, f.npar);
    }
    write_back(f, science, e);
}

} // namespace

void fringe_fit(Mosaic science, const Mosaic *fringes, int nfringe, std::FILE *out)
{
    Fit f{};
    f.nfringe = nfringe;
    f.npar = nfringe + 3;
    const bool has_extensions = science->count > 1;
    if (has_extensions) {
        const FITSBasic b = science->head[1]->basic;
        f.nx = b->naxis[0];
        f.ny = b->naxis[1];
        f.npix = f.nx * f.ny;
        f.a = vector(1, f.npar);
        f.acc = vector(1, f.npar);
        f.X = matrix(1, f.npar, 1, f.npix);
        f.s = vector(1, f.npix);
        f.w = vector(1, f.npix);
        f.buf = static_cast<float *>(std::malloc(size_t(f.npix > 0 ? f.npix : 1) * sizeof(float)));
        if (!f.buf) tserror("allocation failure in transfer buffer");
        f.lista = ivector(1, f.npar);
        for (int k = 1; k <= f.npar; k++) f.lista[k] = k;
        f.state.assign(size_t(f.npix), USABLE);
        fill_gradients(f);
    }
    print_head(out, nfringe);
    for (int e = 1; e < science->count; e++) fit_extension(f, science, fringes, e, out);
    std::fflush(out);
    if (has_extensions) {
        free_ivector(f.lista, 1, f.npar);
        std::free(f.buf);
        free_vector(f.w, 1, f.npix);
        free_vector(f.s, 1, f.npix);
        free_matrix(f.X, 1, f.npar, 1, f.npix);
        free_vector(f.acc, 1, f.npar);
        free_vector(f.a, 1, f.npar);
    }
}
