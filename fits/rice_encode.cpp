// Rice_1 coding of a tile: the first pixel raw in bytepix big-endian bytes, then
// blocks of `blocksize` differences from the previous pixel (in the pixel's width),
// folded to unsigned (d >= 0: 2d, else ~2d), each block opened by an FS code chosen
// from the block's mean: 0 for a block of zeros, fsmax + 1 for raw differences,
// else fs + 1 and per difference a unary prefix of its high bits and its fs low bits.
#include "tile_codec.h"

#include <cstdint>

namespace {

// Bits into the output, most significant first, through a 64-bit accumulator that
// holds fewer than 32 pending bits between calls.  Stops writing (ok false) at the
// output's end instead of passing it.
class BitWriter {
public:
    BitWriter(unsigned char *p, int64_t capacity) : p_(p), end_(p + capacity) {}

    // The low k bits of v (k 0..32, v < 2^k).
    void put(uint32_t v, int k)
    {
        acc_ = k == 0 ? acc_ : (acc_ << k) | v;
        count_ += k;
        if (count_ < 32) return;
        count_ -= 32;
        const uint32_t word = uint32_t(acc_ >> count_);
        if (end_ - p_ < 4) {
            ok_ = false;
            count_ = 0;
            return;
        }
        p_[0] = static_cast<unsigned char>(word >> 24);
        p_[1] = static_cast<unsigned char>(word >> 16);
        p_[2] = static_cast<unsigned char>(word >> 8);
        p_[3] = static_cast<unsigned char>(word);
        p_ += 4;
    }
    // `zeros` zero bits, then a one.
    void unary(uint32_t zeros)
    {
        while (zeros >= 32) {
            put(0, 32);
            zeros -= 32;
        }
        put(1, int(zeros) + 1);
    }
    // The pending bits, the last byte padded with zeros; the end of the output.
    unsigned char *finish()
    {
        while (count_ > 0 && ok_) {
            if (p_ == end_) {
                ok_ = false;
                break;
            }
            const int shift = count_ - 8;
            *p_++ = static_cast<unsigned char>(shift >= 0 ? acc_ >> shift : acc_ << -shift);
            count_ = shift > 0 ? shift : 0;
        }
        return p_;
    }
    bool ok() const { return ok_; }

private:
    unsigned char *p_;
    unsigned char *end_;
    uint64_t acc_ = 0;
    int count_ = 0;
    bool ok_ = true;
};

// Pixel widths: FS code bits, the largest fs, raw bits of a high-entropy difference.
struct Width {
    int fsbits, fsmax, bbits;
};
constexpr Width kWidths[] = {{3, 6, 8}, {4, 14, 16}, {0, 0, 0}, {5, 25, 32}};

// The difference of two pixels in the pixel's width, folded to unsigned.
template <int Bytes>
inline uint32_t folded_difference(int32_t next, int32_t last)
{
    constexpr int bits = Bytes * 8;
    constexpr uint32_t mask = bits == 32 ? ~uint32_t(0) : (uint32_t(1) << bits) - 1;
    const uint32_t d = (uint32_t(next) - uint32_t(last)) & mask;
    // The difference as a signed value of `bits` bits, times two, folded.
    const bool negative = (d >> (bits - 1)) & 1;
    return ((d << 1) & mask) ^ (negative ? mask : 0);
}

template <int Bytes>
int64_t encode(const int32_t *in, int64_t count, int blocksize, unsigned char *out, int64_t capacity)
{
    constexpr Width w = kWidths[Bytes - 1];
    if (capacity < Bytes) return -1;
    const uint32_t first = uint32_t(in[0]);
    for (int i = 0; i < Bytes; i++) out[i] = static_cast<unsigned char>(first >> (8 * (Bytes - 1 - i)));
    BitWriter bits(out + Bytes, capacity - Bytes);
    uint32_t diff[256];
    int32_t last = in[0];
    for (int64_t done = 0; done < count && bits.ok();) {
        const int block = count - done < blocksize ? int(count - done) : blocksize;
        const int32_t *p = in + done;
        done += block;
        uint64_t sum = 0;
        for (int i = 0; i < block; i++) {
            diff[i] = folded_difference<Bytes>(p[i], last);
            last = p[i];
            sum += diff[i];
        }
        // fs: the bit length of half the block's mean difference.
        const uint64_t bias = uint64_t(block / 2) + 1;
        const uint64_t mean = sum > bias ? (sum - bias) / uint64_t(block) : 0;
        uint32_t half = uint32_t(mean) >> 1;
        int fs = 0;
        while (half) {
            half >>= 1;
            fs++;
        }
        if (fs >= w.fsmax) {  // high entropy: the differences raw
            bits.put(uint32_t(w.fsmax + 1), w.fsbits);
            for (int i = 0; i < block; i++) bits.put(diff[i], w.bbits);
        } else if (fs == 0 && sum == 0) {  // every difference zero
            bits.put(0, w.fsbits);
        } else {
            bits.put(uint32_t(fs + 1), w.fsbits);
            const uint32_t low = fs ? (uint32_t(1) << fs) - 1 : 0;
            for (int i = 0; i < block; i++) {
                bits.unary(diff[i] >> fs);
                if (fs) bits.put(diff[i] & low, fs);
            }
        }
    }
    unsigned char *end = bits.finish();
    if (!bits.ok()) return -1;
    return end - out;
}

} // namespace

int64_t rice_encode(const int32_t *in, int64_t count, int bytepix, int blocksize, unsigned char *out,
                    int64_t capacity)
{
    if (!in || !out || count < 0 || capacity < 0 || blocksize <= 0 || blocksize > 256) return -1;
    if (count == 0) return 0;
    switch (bytepix) {
    case 1: return encode<1>(in, count, blocksize, out, capacity);
    case 2: return encode<2>(in, count, blocksize, out, capacity);
    case 4: return encode<4>(in, count, blocksize, out, capacity);
    default: return -1;
    }
}
