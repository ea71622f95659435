// What the stream writers share about a data unit: whether ft_datawrite takes it,
// asked before a header is written so that a refused unit leaves no header behind.
#ifndef TOLV_DATA_UNIT_H
#define TOLV_DATA_UNIT_H

#include "fits.h"

namespace fits_data {

// True when ft_datawrite(file, fits, data, pixtype) passes its checks: a consistent
// data description, a pixel type it converts to and from the unit's BITPIX, and
// data unless the unit is empty.  Only allocation and the writes can fail after.
bool writable(FITSHead fits, const void *data, int pixtype);

} // namespace fits_data

#endif
