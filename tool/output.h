// The corrected copy (-o): a new file that is whole or absent.  It is written
// under a temporary name in the target's folder, synced, and then put in place by
// one rename (or, when an existing file must not be replaced, one link).
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

class OutputFile {
  public:
    OutputFile(std::string path, bool overwrite);
    // Removes the temporary file unless it was put in place.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // The target exists and may not be replaced.
    bool refused() const;
    // Copies `size` bytes of the open file `from` into a new temporary file.
    // False, with *error, when it cannot be made (no room, no permission).
    bool create_copy(int from, int64_t size, std::string *error);
    // The same for a copy made of pieces, one after the other.
    bool create_copy(int from, const std::vector<CopyPiece> &pieces, std::string *error);
    const std::string &temporary() const { return temp_; }
    // Syncs the temporary file (through `fd`, open on it) and puts it in place.
    bool commit(int fd, std::string *error);

  private:
    std::string path_, temp_, dir_;
    bool overwrite_;
    bool committed_ = false;
};

#endif
