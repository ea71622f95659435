// The units of a FITS file: 80-byte cards, 36 to a 2880-byte block; headers and
// data units are whole blocks.  The library and the tool take these from here.
#ifndef TOLV_BLOCK_LAYOUT_H
#define TOLV_BLOCK_LAYOUT_H

#include "fits.h"

#include <cstdint>

namespace block_layout {

constexpr int kCardBytes = 80;   // characters in a card
constexpr int kBlockCards = 36;  // cards in a block
constexpr int64_t kBlockBytes = int64_t(kBlockCards) * kCardBytes;

static_assert(sizeof(FITSBuff) == kCardBytes, "a card is its 80 columns, nothing more");
static_assert(kBlockBytes == 2880);

} // namespace block_layout

#endif
