// The clipped fringe fit of a mosaic: the table head, then every extension after
// the primary unit, fitted and written back in ascending order.
#include "fringefit.h"

#include "fitpaths.h"

void fringe_fit(Mosaic science, const Mosaic *fringes, int nfringe, std::FILE *out, FitPath path,
                FitTrace *trace)
{
    if (science->count <= 1) {
        print_fit_head(out, nfringe);
    } else {
        const FITSBasic b = science->head[1]->basic;
        FitGeometry g{};
        g.nx = b->naxis[0];
        g.ny = b->naxis[1];
        g.npix = g.nx * g.ny;
        g.nfringe = nfringe;
        g.npar = nfringe + 3;
        if (path == FitPath::straight)
            fit_extensions_straight(g, science, fringes, out, trace);
        else
            fit_extensions_lean(g, science, fringes, out, trace);
    }
    std::fflush(out);
}
