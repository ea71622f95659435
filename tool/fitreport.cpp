// The table rows and the transfer of pixels between a mapping and the fit.
#include "fitreport.h"

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

namespace {

// printf's text of one value appended to `to`, however long it is ("%f" of 1e300).
template <typename... Args>
void append_format(std::string &to, const char *format, Args... args)
{
    char small[64];
    const int n = std::snprintf(small, sizeof small, format, args...);
    if (n < 0) return;
    if (size_t(n) < sizeof small) {
        to.append(small, size_t(n));
        return;
    }
    std::string big(size_t(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, args...);
    to.append(big, 0, size_t(n));
}

} // namespace

void append_fit_row(std::string &rows, int extn, int iter, float sigma, int nfit, const double *acc1,
                    int npar)
{
    append_format(rows, "%d\t%d\t%f\t%d", extn, iter, double(sigma), nfit);
    for (int k = 1; k <= npar; k++) append_format(rows, "\t%f", acc1[k]);
    rows += '\n';
}

void read_floats(float *to, const void *from, int npix) { swap4(to, from, int64_t(npix) * 4); }

void mask_fringe(float *values, unsigned char *state, int npix)
{
    for (int p = 0; p < npix; p++)
        if (!std::isfinite(values[p])) {
            values[p] = 0.0f;
            state[p] = FRINGE_NOT_FINITE;
        }
}

void residual_to_pixels(float *science, const double *s, const unsigned char *state, int npix)
{
    for (int p = 0; p < npix; p++)
        if (state[p] != SCIENCE_NOT_FINITE) science[p] = to_pixel(s[p], science[p]);
}

void store_extension(Mosaic m, int e, const float *pixels, int npix)
{
    swap4(m->data[e], pixels, int64_t(npix) * 4);
}
