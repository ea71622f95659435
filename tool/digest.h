// A 64-bit hash of bytes given in pieces, fast enough to keep pace with the disk:
// the journal's check that its parts are whole, and tolv's name for the contents
// of a file or an extension (which an inode number is not: `cp` over a file keeps
// its inode, and an inode is reused once its file is deleted).
#ifndef TOLV_DIGEST_H
#define TOLV_DIGEST_H

#include <cstddef>
#include <cstdint>
#include <string>

class Digest {
  public:
    // `seed` starts the lanes: the journal seeds its parts with its own random
    // number, so that a part left by an older journal fails the check.
    explicit Digest(uint64_t seed = 0);
    void add(const void *data, size_t n);
    void add_u64(uint64_t v);
    uint64_t value() const;

  private:
    void mix(const unsigned char *block);
    uint64_t lane_[4];
    unsigned char block_[32] = {};
    int pending_ = 0;
    uint64_t total_ = 0;
};

uint64_t digest_of(const void *data, size_t n, uint64_t seed = 0);
inline uint64_t digest_of(const std::string &bytes, uint64_t seed = 0)
{
    return digest_of(bytes.data(), bytes.size(), seed);
}

// The digest of bytes [offset, offset + length) of an open file, read in pieces;
// false, with errno (0 where the file ends first), when they cannot all be read.
bool digest_file_range(int fd, int64_t offset, int64_t length, uint64_t *value, uint64_t seed = 0);

// Little-endian 64-bit numbers, the same on every host.
uint64_t get_u64(const unsigned char *p);
void put_u64(std::string &to, uint64_t v);

#endif
