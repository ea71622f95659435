// The whole-mosaic fit driver of the tests and benchmarks: extension after
// extension, on the steps of either path, each written back in place.
#include "fit_reference.h"

#include "fit_lean.h"
#include "lufit.h"
#include "tsutil.h"

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
