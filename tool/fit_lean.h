// The steps of the clipped fit as the tool computes them: one pass over the
// pixels per fit (fit_pass.h), nothing kept per pixel, on the instruction set
// simd_path() gives at each pass (every one gives the same bits).
#ifndef TOLV_FIT_LEAN_H
#define TOLV_FIT_LEAN_H

#include "fit_steps.h"

#include <memory>

// Allocation failures end the process through tserror.
std::unique_ptr<FitSteps> make_lean_steps(const FitGeometry &g);

#endif
