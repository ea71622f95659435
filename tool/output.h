// The corrected copy (-o): a new file that is whole or absent.  It is written
// into an unnamed file in the target's folder (O_TMPFILE), synced, and then given
// the target's name in one step: a link, or, when an existing file is to be
// replaced, a link under a temporary name and one rename.  Where the filesystem
// makes no unnamed files, a named temporary (FILE.tolv-XXXXXX) stands in for it.
// Either way the copy is reached through its descriptor only, never reopened by
// a name.
#ifndef TOLV_OUTPUT_H
#define TOLV_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

// A piece of a copy: `length` bytes of the source from `offset`, or, when `bytes`
// is not empty, those bytes.
struct CopyPiece {
    int64_t offset = 0, length = 0;
    std::string bytes;
};

// Writes the pieces, one after the other, from offset 0 of the open file `to`,
// those of the source read from the open file `from`; false, with errno.
bool write_pieces(int from, const std::vector<CopyPiece> &pieces, int to);

class OutputFile {
  public:
    // `path` is a plain path, never parsed for a unit selector.
    OutputFile(std::string path, bool overwrite);
    // Closes the copy and removes its name unless it was put in place (an unnamed
    // copy is freed by the kernel, even when the process is killed).
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // The target exists and may not be replaced.
    bool refused() const;
    // A new temporary file of `size` bytes (zeros), its disk blocks claimed, for
    // the caller to write through descriptor().  False, with *error, when it
    // cannot be made.
    bool create(int64_t size, std::string *error);
    // Copies `size` bytes of the open file `from` into a new temporary file.
    // False, with *error, when it cannot be made (no room, no permission).
    bool create_copy(int from, int64_t size, std::string *error);
    // The same for a copy made of pieces, one after the other.
    bool create_copy(int from, const std::vector<CopyPiece> &pieces, std::string *error);
    // The copy's descriptor, read-write, owned by this object; -1 before create_copy.
    int descriptor() const { return fd_; }
    // Syncs the copy and puts it in place.
    bool commit(std::string *error);

  private:
    // Links the unnamed copy as `name`; false, with errno, when it cannot be.
    bool link_as(const std::string &name) const;
    bool put_in_place();
    // A description of the copy for messages.
    std::string copy_name() const;

    std::string path_, temp_, dir_; // temp_: the copy's name while it has one not yet the target's
    bool overwrite_;
    int fd_ = -1;
    bool unnamed_ = false;
    bool committed_ = false;
};

#endif
