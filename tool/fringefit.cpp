// The clipped fringe fit of a mosaic: the table head, then every extension after
// the primary unit, fitted and written back in ascending order.
#include "fringefit.h"

#include "fitpaths.h"
#include "lufit.h"
#include "tsutil.h"

FitGeometry fit_geometry(Mosaic science, int nfringe)
{
    FitGeometry g{};
    if (science->count > 1) {
        const FITSBasic b = science->head[1]->basic;
        g.nx = b->naxis[0];
        g.ny = b->naxis[1];
        g.npix = g.nx * g.ny;
    }
    g.nfringe = nfringe;
    g.npar = nfringe + 3;
    return g;
}

std::unique_ptr<ExtensionFitter> make_fitter(const FitGeometry &g, FitPath path)
{
    return path == FitPath::straight ? make_straight_fitter(g) : make_lean_fitter(g);
}

void fringe_fit(Mosaic science, const Mosaic *fringes, int nfringe, std::FILE *out, FitPath path,
                FitTrace *trace)
{
    if (science->count > 1) {
        const FitGeometry g = fit_geometry(science, nfringe);
        const std::unique_ptr<ExtensionFitter> fitter = make_fitter(g, path);
        print_fit_head(out, nfringe);
        for (int e = 1; e < science->count; e++) {
            std::string rows;
            const FitOutcome outcome = fitter->fit(science, fringes, e, rows, trace);
            std::fputs(rows.c_str(), out);
            if (outcome == FitOutcome::singular) {
                std::fflush(out);
                tserror(SINGULAR_MESSAGE);
            }
            store_extension(science, e, fitter->corrected(), g.npix);
        }
    } else {
        print_fit_head(out, nfringe);
    }
    std::fflush(out);
}
