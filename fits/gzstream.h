// Files opened for reading through the library's streams, gzip-compressed ones
// inflated on the fly.
#ifndef TOLV_GZSTREAM_H
#define TOLV_GZSTREAM_H

#include "fits.h"

// Opens the file `name` with fopen and `mode`.  For a read mode ("r" without "+")
// a file that begins with the gzip magic bytes 0x1f 0x8b comes back as a read-only
// stream of its inflated bytes (members one after another; seeking fails as on a
// pipe; a damaged or cut stream reads as an error after its good bytes).  Null
// when the file cannot be opened; the caller closes the stream with fclose.  A
// build without zlib opens every file plain.
File open_stream(const char *name, const char *mode);

#endif
