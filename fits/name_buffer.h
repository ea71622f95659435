// The buffers of a file name's parts as ft_parsefilename splits it (path, extension
// name, options): each holds at most this many bytes, terminator included.  The
// tail ft_fitsheadopen fills is at most this long too.
#ifndef TOLV_NAME_BUFFER_H
#define TOLV_NAME_BUFFER_H

namespace name_buffer {

constexpr int kNameBytes = 1024;

} // namespace name_buffer

#endif
