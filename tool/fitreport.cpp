// The table rows and the transfer of pixels between a mapping and the fit.
#include "fitreport.h"

#include <signal.h>

#include <cfloat>
#include <cmath>

namespace {

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

} // namespace

void print_fit_head(std::FILE *out, int nfringe)
{
    std::fprintf(out, "Extn\tIter\tSigma\tNpix\tAconst\tAx\tAy");
    for (int k = 0; k < nfringe; k++) std::fprintf(out, "\tAfringe%02d", k);
    std::fprintf(out, "\n");
    std::fprintf(out, "----\t----\t-----\t----\t------\t--\t--");
    for (int k = 0; k < nfringe; k++) std::fprintf(out, "\t---------");
    std::fprintf(out, "\n");
}

void print_fit_row(std::FILE *out, int extn, int iter, float sigma, int nfit, const double *acc1,
                   int npar)
{
    std::fprintf(out, "%d\t%d\t%f\t%d", extn, iter, double(sigma), nfit);
    for (int k = 1; k <= npar; k++) std::fprintf(out, "\t%f", acc1[k]);
    std::fprintf(out, "\n");
}

void read_extension(float *to, Mosaic m, int e, int npix) { swap4(to, m->data[e], int64_t(npix) * 4); }

void mask_fringe(float *values, unsigned char *state, int npix)
{
    for (int p = 0; p < npix; p++)
        if (!std::isfinite(values[p])) {
            values[p] = 0.0f;
            state[p] = FRINGE_NOT_FINITE;
        }
}

void write_residual(float *science, const double *s, const unsigned char *state, Mosaic m, int e,
                    int npix)
{
    for (int p = 0; p < npix; p++)
        if (state[p] != SCIENCE_NOT_FINITE) science[p] = to_pixel(s[p], science[p]);
    // An interruption waits until the extension is written whole.
    sigset_t hold, previous;
    sigemptyset(&hold);
    sigaddset(&hold, SIGINT);
    sigaddset(&hold, SIGTERM);
    sigaddset(&hold, SIGHUP);
    sigprocmask(SIG_BLOCK, &hold, &previous);
    swap4(m->data[e], science, int64_t(npix) * 4);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}
