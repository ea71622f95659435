// The whole-mosaic fit driver of the tests and benchmarks: extension after
// extension, on the steps of either path, each written back in place.
#include "fit_reference.h"

#include "big_endian.h"
#include "fit_lean.h"
#include "lufit.h"
#include "tsutil.h"

#include <bit>
#include <cmath>

std::unique_ptr<FitSteps> make_steps(const FitGeometry &g, FitPath path)
{
    return path == FitPath::straight ? make_straight_steps(g) : make_lean_steps(g);
}

ExtensionFitter make_fitter(const FitGeometry &g, FitPath path, FitSettings settings)
{
    return ExtensionFitter(make_steps(g, path), g, settings);
}

ExtensionData extension_data(Mosaic science, const Mosaic *fringes, int nfringe, int e)
{
    ExtensionData x;
    x.extn = e;
    x.science = science->data[e];
    for (int k = 0; k < nfringe; k++) x.fringes.push_back(fringes[k]->data[e]);
    return x;
}

void fringe_fit(Mosaic science, const Mosaic *fringes, int nfringe, std::FILE *out, FitPath path,
                FitTrace *trace, FitSettings settings)
{
    if (science->count > 1) {
        const FitGeometry g = fit_geometry(science, nfringe);
        ExtensionFitter fitter = make_fitter(g, path, settings);
        print_fit_head(out, nfringe);
        for (int e = 1; e < science->count; e++) {
            std::string rows;
            const FitOutcome outcome = fitter.fit(extension_data(science, fringes, nfringe, e), rows, trace);
            std::fputs(rows.c_str(), out);
            if (outcome == FitOutcome::singular) {
                std::fflush(out);
                tserror(SINGULAR_MESSAGE);
            }
            fitter.store(science->data[e], 0, g.npix);
        }
    } else {
        print_fit_head(out, nfringe);
    }
    std::fflush(out);
}

StoredDifference stored_difference(const void *a, const void *b, const void *science, size_t npix)
{
    StoredDifference d;
    for (size_t p = 0; p < npix; p++) {
        const uint32_t u = be32_at(a, int64_t(p)), v = be32_at(b, int64_t(p));
        if (u == v) continue;
        d.differing++;
        // Floats of one sign are ordered as their bits; 0 and -0 are one apart.
        auto ordered = [](uint32_t w) { return w >> 31 ? -int64_t(w & 0x7fffffffu) : int64_t(w); };
        const float x = std::bit_cast<float>(u), y = std::bit_cast<float>(v);
        const int64_t gap = ordered(u) - ordered(v);
        if (!std::isnan(x) && !std::isnan(y) && gap >= -1 && gap <= 1) continue;
        // A residual near 0 beside its pixel: both paths round the model, some
        // 1e-13 of the pixel's value, differently.
        const double s = std::fabs(double(std::bit_cast<float>(be32_at(science, int64_t(p)))));
        if (std::fabs(double(x) - double(y)) <= std::ldexp(s, -32))
            d.cancelled++;
        else
            d.beyond_one_ulp++;
    }
    return d;
}
