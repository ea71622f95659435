// The buffers of a file name's parts as ft_parsefilename splits it (path, extension
// name, options): each holds at most this many bytes, terminator included.  The
// tail ft_fitsheadopen fills is at most this long too.
#ifndef TOLV_NAME_BUFFER_H
#define TOLV_NAME_BUFFER_H

#include "fits.h"

namespace name_buffer {

constexpr int kNameBytes = FT_NAME_BYTES; // public in fits.h, for callers' buffers

} // namespace name_buffer

#endif
