// Pixels between the files and the fit: big-endian floats to host order and back
// (whole frames, through the codec of big_endian.h), and what each pixel's values
// allow.
#ifndef TOLV_PIXELS_H
#define TOLV_PIXELS_H

#include "big_endian.h"

#include <cstdint>

// Why a pixel takes no part in the fits.
enum PixelState : unsigned char {
    USABLE = 0,
    FRINGE_NOT_FINITE = 1,  // some fringe value is not finite: modelled without it
    SCIENCE_NOT_FINITE = 2, // written back unchanged
    MASKED = 3              // masked by the caller: corrected like the others
};

// A float is infinite or not a number when its exponent bits are all ones.
constexpr uint32_t FLOAT_EXPONENT = 0x7f800000u;
inline bool finite_bits(uint32_t u) { return (u & FLOAT_EXPONENT) != FLOAT_EXPONENT; }

// Copies npix big-endian floats into host order.
void read_floats(float *to, const void *from, int npix);

// Zeroes the non-finite values of a fringe frame (so that, with weight 0, they add
// exactly nothing to any sum) and marks their pixels.
void mask_fringe(float *values, unsigned char *state, int npix);

// read_floats and mask_fringe in one pass over the frame: npix big-endian floats
// of a fringe frame at `from` to host order at `to`, those not finite as 0 with
// their pixels marked FRINGE_NOT_FINITE in state (the other states are left as
// they are).
void load_fringe(float *to, const void *from, unsigned char *state, int npix);

// Residuals s[0..npix-1] to floats in `science`, which holds the pixels as read:
// those not finite stay as they were.
void residual_to_pixels(float *science, const double *s, const unsigned char *state, int npix);

// The residuals s[0..count-1] as big-endian floats at `to`, which holds the
// pixels as read: those whose state is SCIENCE_NOT_FINITE, or whose residual is
// not a number, stay as they are (the same values as residual_to_pixels).
void store_residuals(void *to, const double *s, const unsigned char *state, int count);

#endif
