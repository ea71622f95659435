// Whole reads and writes at an offset of an open file, resumed after a signal or a
// short transfer.
#ifndef TOLV_FILEIO_H
#define TOLV_FILEIO_H

#include <sys/types.h>

#include <cstdint>
#include <string>

// Writes n bytes at `at`; false, with errno set (EIO for a write of nothing), when
// they could not all be written.
bool pwrite_all(int fd, const void *data, int64_t n, int64_t at);

// Reads n bytes at `at`; false, with errno set (0 where the file ends first), when
// they could not all be read.
bool pread_all(int fd, void *data, int64_t n, int64_t at);

// The folder of a path: "." for a bare name, "/" for a name in the root.
std::string folder_of(const std::string &path);

// A new file without a name in the folder `dir`, open read-write with `mode`,
// which link_unnamed names once it is whole: a process killed before leaves
// nothing behind.  -1 where the filesystem makes no such file, or where
// /proc/self/fd (the way to name it without privilege) does not reach it.
int open_unnamed(const std::string &dir, mode_t mode);

// Names the file open_unnamed gave: false, with errno (EEXIST when the name is
// taken: an existing file is never replaced), when it cannot.
bool link_unnamed(int fd, const std::string &path);

#endif
