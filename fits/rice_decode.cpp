// Rice_1 decoding of a tile: the first pixel raw in bytepix big-endian bytes, then
// blocks of `blocksize` differences, each block opened by its FS code (low entropy:
// all zero; high entropy: each difference raw; else a unary prefix and fs low bits),
// the differences folded to unsigned (even d/2, odd ~(d >> 1)) and summed in the
// pixel's width.
#include "tile_codec.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

// The stream's bits, most significant first, through a 64-bit buffer whose bits
// past `count` are zero.  Never reads past the stream's n bytes.
class BitReader {
public:
    BitReader(const unsigned char *p, int64_t n) : p_(p), end_(p + n) {}

    // Fill the buffer to at least 57 bits, or with what the stream has left.
    void refill()
    {
        if (end_ - p_ >= 8) {
            uint64_t word;
            std::memcpy(&word, p_, 8);
            word = big_endian(word);
            bits_ |= word >> count_;
            p_ += (63 - count_) >> 3;
            count_ |= 56;
            bits_ &= ~(~uint64_t(0) >> count_);  // keep the invariant: nothing past count_
            return;
        }
        while (count_ <= 56 && p_ < end_) {
            bits_ |= uint64_t(*p_++) << (56 - count_);
            count_ += 8;
        }
    }
    int count() const { return count_; }
    uint64_t bits() const { return bits_; }
    // The next k bits (1..32); the caller has checked count() >= k.
    uint32_t take(int k)
    {
        const uint32_t v = uint32_t(bits_ >> (64 - k));
        skip(k);
        return v;
    }
    void skip(int k)
    {
        bits_ = k == 64 ? 0 : bits_ << k;
        count_ -= k;
    }
    // A refill from 8 bytes at once, leaving 56 to 63 bits, when 8 bytes are left
    // (else false, the buffer cleared past count_).  The bits past count_ are then
    // the stream's next bits, which the next refill ORs in again; they are cleared
    // before the general path reads the buffer.
    bool refill_fast()
    {
        if (end_ - p_ < 8) return clear_past_count();
        uint64_t word;
        std::memcpy(&word, p_, 8);
        bits_ |= big_endian(word) >> count_;
        p_ += (63 - count_) >> 3;
        count_ |= 56;
        return true;
    }
    // The buffer itself, for the block loop, which takes a difference straight from
    // it when the difference lies whole within its count_ bits.
    uint64_t &raw_bits() { return bits_; }
    int &raw_count() { return count_; }
    void clear() { clear_past_count(); }
    // The general path: a prefix over several refills, the stream's last bytes.
    bool difference(int fs, uint32_t *diff)
    {
        refill();
        uint64_t zeros = 0;
        while (bits_ == 0) {
            if (count_ == 0) return false;
            zeros += uint64_t(count_);
            skip(count_);
            refill();
        }
        const int lead = std::countl_zero(bits_);
        zeros += uint64_t(lead);
        skip(lead + 1);
        uint32_t low = 0;
        if (fs > 0) {
            if (!need(fs)) return false;
            low = take(fs);
        }
        *diff = uint32_t(zeros << fs) | low;
        return true;
    }
    // Bits ready, refilling when fewer than k; false when the stream has no k left.
    bool need(int k)
    {
        if (count_ < k) refill();
        return count_ >= k;
    }

private:
    bool clear_past_count()
    {
        bits_ = count_ == 0 ? 0 : bits_ & ~(~uint64_t(0) >> count_);
        return false;
    }
    static uint64_t big_endian(uint64_t v)
    {
        if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(v);
        return v;
    }
    const unsigned char *p_;
    const unsigned char *end_;
    uint64_t bits_ = 0;
    int count_ = 0;
};

// Folded difference back to signed: even d gives d/2, odd gives ~(d >> 1).
inline uint32_t unfold(uint32_t d) { return (d & 1) ? ~(d >> 1) : d >> 1; }

// Pixel widths: FS code bits, the largest fs, raw bits of a high-entropy difference.
struct Width {
    int fsbits, fsmax, bbits;
};
constexpr Width kWidths[] = {{3, 6, 8}, {4, 14, 16}, {0, 0, 0}, {5, 25, 32}};

// A pixel value of the tile's width: bytes unsigned, 16-bit values signed.
template <int Bytes> inline int32_t narrow(uint32_t v)
{
    if constexpr (Bytes == 1)
        return int32_t(v & 0xffu);
    else if constexpr (Bytes == 2)
        return int32_t(int16_t(uint16_t(v)));
    else
        return int32_t(v);
}

template <int Bytes> bool decode(const unsigned char *in, int64_t n, int blocksize, int32_t *out, int64_t count)
{
    constexpr Width w = kWidths[Bytes - 1];
    if (n < Bytes) return false;
    uint32_t last = 0;
    for (int i = 0; i < Bytes; i++) last = last << 8 | in[i];
    BitReader r(in + Bytes, n - Bytes);
    for (int64_t done = 0; done < count;) {
        const int64_t block = count - done < blocksize ? count - done : blocksize;
        int32_t *o = out + done;
        done += block;
        if (!r.need(w.fsbits)) return false;
        const int code = int(r.take(w.fsbits));
        if (code == 0) {  // low entropy: every difference zero
            const int32_t v = narrow<Bytes>(last);
            for (int64_t i = 0; i < block; i++) o[i] = v;
            continue;
        }
        const int fs = code - 1;
        if (fs > w.fsmax) return false;
        if (fs == w.fsmax) {  // high entropy: each difference raw
            for (int64_t i = 0; i < block; i++) {
                if (!r.need(w.bbits)) return false;
                last += unfold(r.take(w.bbits));
                o[i] = narrow<Bytes>(last);
            }
            continue;
        }
        // A whole refill of the buffer for each difference, taken from it when its
        // prefix, one and fs low bits fit (nearly always); the general path for a
        // longer prefix and the stream's last bytes.
        for (int64_t i = 0; i < block; i++) {
            uint32_t diff;
            if (r.refill_fast()) {
                uint64_t &bits = r.raw_bits();
                int &count = r.raw_count();
                const int lead = std::countl_zero(bits);
                const int total = lead + 1 + fs;
                if (total <= count) {
                    // The prefix's one and the fs low bits, less that one, after lead zeros.
                    const uint64_t top = (bits << lead) >> (63 - fs);
                    diff = uint32_t((uint64_t(lead) << fs) + top - (uint64_t(1) << fs));
                    bits <<= total;
                    count -= total;
                    last += unfold(diff);
                    o[i] = narrow<Bytes>(last);
                    continue;
                }
                r.clear();
            }
            if (!r.difference(fs, &diff)) return false;
            last += unfold(diff);
            o[i] = narrow<Bytes>(last);
        }
    }
    return true;
}

}  // namespace

bool rice_decode(const unsigned char *in, int64_t n, int bytepix, int blocksize, int32_t *out, int64_t count)
{
    if (!in || !out || n < 0 || count < 0 || blocksize <= 0) return false;
    if (count == 0) return true;
    switch (bytepix) {
    case 1: return decode<1>(in, n, blocksize, out, count);
    case 2: return decode<2>(in, n, blocksize, out, count);
    case 4: return decode<4>(in, n, blocksize, out, count);
    default: return false;
    }
}
