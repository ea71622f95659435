// Making a fringe frame from dithered exposures of one camera and filter, one
// extension at a time.  Per exposure: the sky is fitted as tolv fits it with no
// fringe frame (the clipped fit of a constant and an x and y gradient); the
// residual r = s - (Aconst + Ax gx + Ay gy) has a robust sigma, 1.4826 times the
// median absolute deviation of r over the usable pixels (finite, not masked);
// sources are the usable pixels with r > K sigma, grown by every pixel within R
// (dx^2 + dy^2 <= R^2); the sources, the masked and the non-finite pixels are
// left out, and each other pixel gives r / Aconst (r when not normalised).
// Per pixel, the values of the exposures are combined: their median (the mean
// of the middle two of an even count), or their mean after leaving out those
// beyond K standard deviations (population) of the mean of all; a pixel with
// fewer than M values is 0.
//
// The combine works through blocks of rows of all the exposures, so that memory
// grows with the exposures times a block; the sky fit and the median absolute
// deviation take one extension of one exposure at a time.
#ifndef TOLV_FRINGE_MAKER_H
#define TOLV_FRINGE_MAKER_H

#include "fit_steps.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class CombineMethod { median, mean };

struct MakerSettings {
    FitSettings sky;                 // the sky fit: tolv's iterations and clip
    double object_sigma = 3.0;       // sources: r > object_sigma x the robust sigma
    int grow = 2;                    // sources grown by this many pixels
    bool normalize = true;           // values divided by the sky level
    CombineMethod combine = CombineMethod::median;
    double reject = 3.0;             // mean: values beyond this many standard deviations left out
    int min_inputs = 3;              // fewer values than this: the pixel is 0
    int block_rows = 64;             // rows of every exposure combined at once
};

// One exposure's extension as the maker reads it: npix big-endian floats, and
// its mask (npix bytes, nonzero: left out), null when none.
struct MakerInput {
    const void *science = nullptr;
    const unsigned char *mask = nullptr;
};

// What the maker found in one exposure's extension.
struct InputSky {
    double sky = 0.0, ax = 0.0, ay = 0.0; // the sky fit's constant and gradients
    double sigma = 0.0;                   // the robust sigma of its residual
    int64_t usable = 0;                   // pixels finite and not masked
    int64_t left_out = 0;                 // pixels left out of the combine (sources, masked, not finite)
};

// What the combine of one extension counted.
struct FrameCounts {
    int64_t combined = 0, zeroed = 0;       // pixels with enough values, and those set to 0
    int64_t sources_any = 0, sources_most = 0; // pixels a source in one exposure at least, in more than half
};

// Called when the maker is done, for now, with pixels [first, first + count)
// of exposure k: their pages may go (a later block may read some again).
using MakerDone = std::function<void(size_t k, int64_t first, int64_t count)>;

// The frame of one extension: `frame` gets npix host-order floats.  False, with
// *problem naming the exposure (0-based in `inputs`), when its sky cannot be
// fitted or is not positive while the values are normalised.
bool make_frame_extension(const FitGeometry &g, const MakerSettings &s, const std::vector<MakerInput> &inputs,
                          float *frame, std::vector<InputSky> *skies, FrameCounts *counts, std::string *problem,
                          int *failed_input, const MakerDone &done = nullptr);

#endif
