// The units of a FITS file: 80-byte cards, 36 to a 2880-byte block; headers and
// data units are whole blocks.  fits.h gives them to callers (FT_CARD_BYTES ...);
// the library's modules take them from here, typed for its arithmetic.
#ifndef TOLV_BLOCK_LAYOUT_H
#define TOLV_BLOCK_LAYOUT_H

#include "fits.h"

#include <cstdint>

namespace block_layout {

constexpr int kCardBytes = FT_CARD_BYTES;   // characters in a card
constexpr int kBlockCards = FT_BLOCK_CARDS; // cards in a block
constexpr int64_t kBlockBytes = int64_t(kBlockCards) * kCardBytes;
static_assert(kBlockBytes == FT_BLOCK_BYTES);

static_assert(sizeof(FITSBuff) == kCardBytes, "a card is its 80 columns, nothing more");
static_assert(kBlockBytes == 2880);

} // namespace block_layout

#endif
