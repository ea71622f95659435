// The codecs of tile-compressed images, shared by the reader and the writer:
// Rice coding of integer tiles and the random sequence of subtractive dithering.
#ifndef TOLV_TILE_CODEC_H
#define TOLV_TILE_CODEC_H

#include <cstdint>

// Decodes `count` pixels of a Rice_1 stream (the n bytes at `in`; `bytepix` 1, 2
// or 4 bytes a pixel, blocks of `blocksize` pixels) into `out`.  False when the
// stream is malformed or runs past its n bytes; nothing is read outside them.
bool rice_decode(const unsigned char *in, int64_t n, int bytepix, int blocksize, int32_t *out, int64_t count);

// Rice_1 codes the `count` pixels at `in` (each fits in `bytepix` bytes) into
// `out`, which holds `capacity` bytes; the bytes written, or -1 when they do not fit.
int64_t rice_encode(const int32_t *in, int64_t count, int bytepix, int blocksize, unsigned char *out,
                    int64_t capacity);

// The 10000 values in [0, 1) of the FITS standard's random sequence for
// subtractive dithering (the Park-Miller generator, seed 1).
constexpr int DITHER_VALUES = 10000;
const float *dither_sequence();

#endif
