// Whole reads and writes at an offset of an open file, resumed after a signal or a
// short transfer.
#ifndef TOLV_FILEIO_H
#define TOLV_FILEIO_H

#include <cstdint>

// Writes n bytes at `at`; false, with errno set (EIO for a write of nothing), when
// they could not all be written.
bool pwrite_all(int fd, const void *data, int64_t n, int64_t at);

// Reads n bytes at `at`; false, with errno set (0 where the file ends first), when
// they could not all be read.
bool pread_all(int fd, void *data, int64_t n, int64_t at);

#endif
