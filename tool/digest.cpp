// Four lanes of 8-byte words, each multiplied, rotated and multiplied again, then
// folded with the length: any torn or changed byte changes the value.
#include "digest.h"

#include "fileio.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t K1 = 0x9E3779B185EBCA87ull, K2 = 0xC2B2AE3D27D4EB4Full, K3 = 0x165667B19E3779F9ull;

uint64_t rotl(uint64_t v, int r) { return v << r | v >> (64 - r); }

// A little-endian word, loaded whole (the digest is the same on every host).
inline uint64_t word(const unsigned char *p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

} // namespace

uint64_t get_u64(const unsigned char *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

void put_u64(std::string &to, uint64_t v)
{
    for (int i = 0; i < 8; i++) to += char(v >> (8 * i) & 0xff);
}

Digest::Digest(uint64_t seed) : lane_{1 ^ seed, 2 + seed, 3 ^ rotl(seed, 17), 4 + rotl(seed, 41)} {}

void Digest::mix(const unsigned char *b)
{
    for (int i = 0; i < 4; i++) lane_[i] = rotl(lane_[i] ^ word(b + 8 * i) * K1, 29) * K2;
}

void Digest::add(const void *data, size_t n)
{
    const auto *p = static_cast<const unsigned char *>(data);
    total_ += n;
    while (n > 0 && pending_ > 0) {
        block_[pending_++] = *p++;
        n--;
        if (pending_ == 32) {
            mix(block_);
            pending_ = 0;
        }
    }
    for (; n >= 32; p += 32, n -= 32) mix(p);
    for (; n > 0; n--) block_[pending_++] = *p++;
}

void Digest::add_u64(uint64_t v)
{
    std::string bytes;
    put_u64(bytes, v);
    add(bytes.data(), 8);
}

uint64_t Digest::value() const
{
    unsigned char last[32] = {};
    std::memcpy(last, block_, size_t(pending_));
    uint64_t lane[4] = {lane_[0], lane_[1], lane_[2], lane_[3]};
    for (int i = 0; i < 4; i++) lane[i] = rotl(lane[i] ^ get_u64(last + 8 * i) * K1, 29) * K2;
    uint64_t h = total_ * K3;
    for (uint64_t l : lane) h = rotl(h ^ l * K2, 31) * K1;
    h ^= h >> 29;
    h *= K3;
    return h ^ h >> 32;
}

uint64_t digest_of(const void *data, size_t n, uint64_t seed)
{
    Digest d(seed);
    d.add(data, n);
    return d.value();
}

bool digest_file_range(int fd, int64_t offset, int64_t length, uint64_t *value, uint64_t seed)
{
    constexpr int64_t CHUNK = int64_t(1) << 20;
    std::vector<unsigned char> chunk(size_t(length < CHUNK ? (length > 0 ? length : 1) : CHUNK));
    Digest d(seed);
    for (int64_t done = 0; done < length;) {
        const int64_t n = length - done < int64_t(chunk.size()) ? length - done : int64_t(chunk.size());
        if (!pread_all(fd, chunk.data(), n, offset + done)) return false;
        d.add(chunk.data(), size_t(n));
        done += n;
    }
    *value = d.value();
    return true;
}
