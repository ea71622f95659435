// The steps of the clipped fit as the tool computes them: without a design
// matrix, from single-precision fringe rows, with the constant and gradient rows
// made on the fly and the residual pass fused with the accumulation of the next
// fit; on the instruction set simd_path() gives when the steps are made (every
// one gives the same bits).
#ifndef TOLV_FIT_LEAN_H
#define TOLV_FIT_LEAN_H

#include "fit_steps.h"

#include <memory>

// Allocation failures end the process through tserror.
std::unique_ptr<FitSteps> make_lean_steps(const FitGeometry &g);

#endif
