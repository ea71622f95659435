// The file layer under tolv's writes: whole reads and writes at an offset of an
// open file (resumed after a signal or a short transfer), new files that appear
// only when whole, disk space claimed before a write, and syncs of files and
// folders.  Every system call that puts bytes on the disk goes through here.
#ifndef TOLV_FILEIO_H
#define TOLV_FILEIO_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
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

// Claims the disk blocks of [offset, offset + length) of the file, so that a full
// disk shows now rather than as a fault in the middle of a write.  0, or the
// errno when there is no room (ENOSPC, EDQUOT, EFBIG); a filesystem that cannot
// claim blocks ahead counts as room.
int claim_space(int fd, int64_t offset, int64_t length);

// A new file named `prefix` and six letters, made as mkostemp makes it but with
// the permissions a file made by any program gets (0666 less the umask, at most
// `mode`); *name is set.  -1, with errno, when it cannot be made.
int open_named_temporary(const std::string &prefix, mode_t mode, std::string *name);

// Syncs the folder `dir`, so that a name just made or removed in it lasts; a
// folder that cannot be opened or synced is passed over (the name is made).
void sync_folder(const std::string &dir);

// Syncs the file `fd` whole: 0, or the errno.
int sync_file(int fd);

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// file a command opens becomes standard input, output or error: a table or a
// message would then be written into it.  Where /dev/null cannot be opened, the
// root directory holds the number (it reads nothing and every write to it
// fails); where neither can, the process ends with status 1 before anything is
// opened.  The first thing a command does.
void open_standard_descriptors();

// A new file in memory only (memfd), open read-write and closed on exec; its
// pages are given back when the last descriptor and mapping go.  -1, with errno.
int open_memory_file(const char *name);

// A file of bytes the process makes and reads back (a file's decompressed copy),
// filled by `fill`: an unnamed file in $TMPDIR, else /var/tmp, readable by no one
// else, whose pages the kernel may write out and drop when memory is short (a
// batch job's memory limit then slows the run, where a memory file would end
// it), or a memory file where no such file can be made or its disk has no room.
// The descriptor, or -1 with the errno of the failed fill.
int filled_scratch_file(const char *name, const std::function<bool(int fd)> &fill);

// A second descriptor of the open file `fd`, closed on exec; -1, with errno.
int duplicate_descriptor(int fd);

// Writes the mapped bytes [map, map + length) to their file and waits for them,
// then syncs the file `fd` (its size and times too): 0, or the errno.
int sync_mapped_file(void *map, int64_t length, int fd);

#endif
