// Data units on streams: FITS stores pixels as big-endian values in whole
// 2880-byte blocks; these move them to and from memory in the caller's pixel type.
#include "block_layout.h"
#include "data_unit.h"
#include "fits.h"
#include "pixel_codes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace {

using block_layout::kBlockBytes;

// Bytes read and converted at a time: whole blocks, so whole elements of every
// size and room for a block's fill, and small enough that a piece and its
// converted values stay in the cache.
constexpr int64_t kReadPiece = 16 * kBlockBytes;

// Elements per block: the fixed inner count lets the loop vectorise at -O2 as well.
constexpr int64_t kSwapBlock = 64;

// One element reversed as W/2 byte-swapped 16-bit halves in reverse order: plain
// SSE2 has no byte shuffle for a vector bswap32/64, but it swaps 16-bit lanes.
inline uint16_t load_swapped16(const unsigned char *p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return uint16_t(v >> 8 | v << 8);
}

inline void store16(unsigned char *p, uint16_t v) { std::memcpy(p, &v, 2); }

template <int W, size_t... K>
inline void swap_element(unsigned char *__restrict dst, const unsigned char *__restrict src,
                         std::index_sequence<K...>)
{
    (store16(dst + 2 * K, load_swapped16(src + W - 2 - 2 * K)), ...);
}

template <int W>
inline void swap_block(unsigned char *__restrict dst, const unsigned char *__restrict src)
{
    for (int64_t j = 0; j < kSwapBlock; j++)
        swap_element<W>(dst + j * W, src + j * W, std::make_index_sequence<W / 2>());
}

// Reverse the bytes of each W-byte element; trailing bytes that make no whole
// element are copied unchanged.  In place (to == from), each block is copied out
// before it is overwritten.
template <int W>
void swap_elements(void *to, const void *from, int64_t nbytes)
{
    if (nbytes <= 0 || !to || !from) return;
    auto *dst = static_cast<unsigned char *>(to);
    const auto *src = static_cast<const unsigned char *>(from);
    const auto d = reinterpret_cast<uintptr_t>(to), s = reinterpret_cast<uintptr_t>(from);
    const bool overlap = d < s + uint64_t(nbytes) && s < d + uint64_t(nbytes);
    const int64_t whole = nbytes / W * W;
    unsigned char in[kSwapBlock * W] = {};
    unsigned char out[kSwapBlock * W];
    int64_t i = 0;
    for (; i + int64_t(sizeof in) <= whole; i += int64_t(sizeof in)) {
        if (overlap) {
            std::memcpy(in, src + i, sizeof in);
            swap_block<W>(dst + i, in);
        } else {
            swap_block<W>(dst + i, src + i);
        }
    }
    // The last elements and the trailing bytes, through the local blocks.
    const size_t rest = size_t(nbytes - i);
    std::memcpy(in, src + i, rest);
    swap_block<W>(out, in);
    std::memcpy(out + (whole - i), in + (whole - i), size_t(nbytes - whole));
    std::memcpy(dst + i, out, rest);
}

// The host's byte order, probed at run time: the bytes 1, 0 read as one 16-bit
// integer have their lowest bit set on a little-endian host.
bool host_is_little_endian()
{
    const unsigned char probe[2] = {1, 0};
    uint16_t v;
    std::memcpy(&v, probe, 2);
    return (v & 1) != 0;
}

// What a data unit's description says, checked for consistency so that no size
// taken from it can lead outside a buffer.
struct Unit {
    int bitpix;
    int64_t pixels, bytes, padded; // padded: the whole blocks, databloks * 2880
    int hasscale;
    double bscale, bzero;
};

bool describe(FITSHead fits, Unit *u)
{
    if (!fits || !fits->basic) return false;
    const FITSBasic b = fits->basic;
    const int fsize = fits_pixel::code_size(b->bitpix);
    if (b->datapixls < 0 || b->databytes < 0 || b->databloks < 0) return false;
    if (fsize > 0 && b->datapixls > INT64_MAX / fsize) return false;
    if (b->databytes != b->datapixls * fsize) return false;
    if (b->databloks > INT64_MAX / kBlockBytes) return false;
    if (b->databloks != (b->databytes + kBlockBytes - 1) / kBlockBytes) return false;
    u->bitpix = b->bitpix;
    u->pixels = b->datapixls;
    u->bytes = b->databytes;
    u->padded = b->databloks * kBlockBytes;
    const FITSImage im = fits->image;
    u->hasscale = im && (im->has_bscale || im->has_bzero);
    u->bscale = im && im->has_bscale ? im->dbscale : 1.0;
    u->bzero = im && im->has_bzero ? im->dbzero : 0.0;
    return true;
}

// The memory pixel type of a call (-1: the unit's BITPIX), or 0 when it cannot be
// converted: every type other than 0 needs a known code and a BITPIX to convert from.
bool memory_type(const Unit &u, int pixtype, int *type)
{
    *type = pixtype == -1 ? u.bitpix : pixtype;
    if (*type == 0) return true;
    return fits_pixel::code_letter(*type) >= 0 && fits_pixel::is_file_bitpix(u.bitpix);
}

// Bytes of n elements of size bytes, or -1 when that does not fit in memory.
int64_t memory_bytes(int64_t n, int size)
{
    if (size > 0 && n > INT64_MAX / size) return -1;
    const int64_t bytes = n * size;
    return uint64_t(bytes) > SIZE_MAX ? -1 : bytes;
}

void *zeroed(int64_t bytes) { return std::calloc(bytes > 0 ? size_t(bytes) : 1, 1); }

// What a stream says of the `bytes` more bytes a header claims: there, short, or
// unknown (a pipe cannot tell).
enum class Holds { kYes, kNo, kUnknown };

// A seekable stream is believed no further than it goes, so that nothing is
// allocated for data that is not there.
Holds stream_holds(File file, int64_t bytes)
{
    const off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0) return Holds::kUnknown;
    const off_t end = ftello(file);
    if (fseeko(file, here, SEEK_SET) != 0) return Holds::kNo;
    if (end < 0) return Holds::kUnknown;
    return int64_t(end - here) >= bytes ? Holds::kYes : Holds::kNo;
}

// The checks of a write, made before anything is written: the unit's description
// and memory type into u and type.
bool write_plan(FITSHead fits, const void *data, int pixtype, Unit *u, int *type)
{
    return describe(fits, u) && memory_type(*u, pixtype, type) && (data || u->bytes == 0) &&
           uint64_t(u->bytes) <= SIZE_MAX;
}

// The memory array a read fills: the caller's (which the contract sizes), a new
// zero-filled one of `bytes`, or, from a stream that cannot tell its length, a new
// one grown with the bytes that arrive, so that a header's claimed size is never
// allocated before its data are there.  A new array not taken is released.
class ReadArray {
public:
    ReadArray(void *caller, int64_t bytes, bool grow) : caller_(caller), size_(bytes)
    {
        if (caller) {
            p_ = static_cast<unsigned char *>(caller);
            have_ = bytes;
        } else if (!grow) {
            p_ = static_cast<unsigned char *>(zeroed(bytes));
            have_ = p_ ? bytes : 0;
            failed_ = !p_;
        }
    }
    ~ReadArray()
    {
        if (p_ != caller_) std::free(p_);
    }
    ReadArray(const ReadArray &) = delete;
    ReadArray &operator=(const ReadArray &) = delete;

    bool failed() const { return failed_; }
    // Room for the first `bytes` bytes (at most the array's size), what is added
    // zero-filled; false when memory fails.
    bool reach(int64_t bytes)
    {
        if (bytes <= have_) return true;
        if (bytes > size_) return false;
        int64_t want = have_ < kFirstGrowth ? kFirstGrowth : have_;
        while (want < bytes) want = want > size_ - want ? size_ : 2 * want;
        if (want > size_) want = size_;
        auto *grown = static_cast<unsigned char *>(std::realloc(p_, size_t(want)));
        if (!grown) return false;
        std::memset(grown + have_, 0, size_t(want - have_));
        p_ = grown;
        have_ = want;
        return true;
    }
    unsigned char *at(int64_t offset) { return p_ + offset; }
    // The whole array, now the caller's; null when memory fails.
    void *take()
    {
        if (!reach(size_)) return nullptr;
        if (!p_ && !(p_ = static_cast<unsigned char *>(zeroed(0)))) return nullptr;
        void *whole = p_;
        p_ = static_cast<unsigned char *>(caller_);
        return whole;
    }

private:
    static constexpr int64_t kFirstGrowth = 64 * kReadPiece;  // 2.8 MiB
    void *caller_;
    unsigned char *p_ = nullptr;
    int64_t size_;
    int64_t have_ = 0;
    bool failed_ = false;
};

} // namespace

bool fits_data::writable(FITSHead fits, const void *data, int pixtype)
{
    Unit u;
    int type;
    return write_plan(fits, data, pixtype, &u, &type);
}

extern "C" {

void swap2(void *to, const void *from, int64_t nbytes) { swap_elements<2>(to, from, nbytes); }
void swap4(void *to, const void *from, int64_t nbytes) { swap_elements<4>(to, from, nbytes); }
void swap8(void *to, const void *from, int64_t nbytes) { swap_elements<8>(to, from, nbytes); }

void *ft_dataswap(void *to, const void *from, int64_t n, int type)
{
    if (!to || !from) return nullptr;
    if (host_is_little_endian()) {
        if (type == 16 || type == -16) return swap2(to, from, n), to;
        if (type == 32 || type == -32) return swap4(to, from, n), to;
        if (type == 64 || type == -64) return swap8(to, from, n), to;
    }
    if (to != from && n > 0) std::memmove(to, from, size_t(n));
    return to;
}

void *ft_dataread(File file, FITSHead fits, void *dataptr, int pixtype)
{
    Unit u;
    int type;
    if (!file || !describe(fits, &u) || !memory_type(u, pixtype, &type)) return nullptr;
    const int fsize = fits_pixel::code_size(u.bitpix);
    const int msize = type == 0 ? fsize : fits_pixel::code_size(type);
    const bool separate = type != 0 && msize != fsize;
    if (uint64_t(u.padded) > SIZE_MAX) return nullptr;
    const Holds holds = stream_holds(file, u.bytes);
    if (holds == Holds::kNo) return nullptr;

    // The memory array, padded to whole blocks so that it can take the unit as read.
    int64_t bytes = memory_bytes(u.pixels, msize);
    if (bytes < 0 || bytes > INT64_MAX - kBlockBytes) return nullptr;
    bytes = (bytes + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
    if (uint64_t(bytes) > SIZE_MAX) return nullptr;
    ReadArray array(dataptr, bytes, holds == Holds::kUnknown);
    if (array.failed()) return nullptr;

    // The stored bytes, as they are; a short last block is accepted once every
    // data byte has arrived.
    if (type == 0) {
        int64_t got = 0;
        while (got < u.padded) {
            const int64_t want = u.padded - got < kReadPiece ? u.padded - got : kReadPiece;
            if (!array.reach(got + want)) return nullptr;
            const size_t n = std::fread(array.at(got), 1, size_t(want), file);
            got += int64_t(n);
            if (int64_t(n) < want) break;
        }
        return got < u.bytes ? nullptr : array.take();
    }

    // Piece by piece, each converted while it is still in the cache: a piece of
    // separate memory type goes through a scratch buffer, otherwise it is read
    // into its own place in the array and converted there.
    std::unique_ptr<unsigned char, decltype(&std::free)> scratch(
        separate ? static_cast<unsigned char *>(std::malloc(size_t(kReadPiece))) : nullptr, std::free);
    if (separate && !scratch) return nullptr;
    const bool convert = type != u.bitpix || u.hasscale;
    const int64_t piece_pixels = kReadPiece / fsize;
    for (int64_t done = 0; done < u.pixels; done += piece_pixels) {
        const int64_t n = u.pixels - done < piece_pixels ? u.pixels - done : piece_pixels;
        const size_t nbytes = size_t(n * fsize);
        if (!array.reach((done + n) * msize)) return nullptr;
        unsigned char *raw = separate ? scratch.get() : array.at(done * fsize);
        if (std::fread(raw, 1, nbytes, file) != nbytes) return nullptr;
        ft_dataswap(raw, raw, int64_t(nbytes), u.bitpix);
        if (convert) ft_acht(type, array.at(done * msize), u.bitpix, raw, n, 1, u.hasscale, u.bscale, u.bzero);
    }
    // The fill of the last block, leaving the stream at the next header.
    const size_t fill = size_t(u.padded - u.bytes);
    if (!separate && !array.reach(u.padded)) return nullptr;
    std::fread(separate ? scratch.get() : array.at(u.bytes), 1, fill, file);
    return array.take();
}

int ft_datawrite(File file, FITSHead fits, void *data, int pixtype)
{
    Unit u;
    int type;
    if (!file || !write_plan(fits, data, pixtype, &u, &type)) return 0;
    const int fsize = fits_pixel::code_size(u.bitpix);
    const int msize = type == 0 ? fsize : fits_pixel::code_size(type);
    const bool separate = type != 0 && msize != fsize;

    void *raw = separate ? zeroed(u.bytes) : data;
    if (!raw) return u.bytes == 0 ? 1 : 0;
    if (type != 0) {
        if (type != u.bitpix || u.hasscale)
            ft_acht(u.bitpix, raw, type, data, u.pixels, 0, u.hasscale, u.bscale, u.bzero);
        ft_dataswap(raw, raw, u.bytes, u.bitpix);
    }
    static const unsigned char zeros[kBlockBytes] = {};
    const size_t fill = size_t((kBlockBytes - u.bytes % kBlockBytes) % kBlockBytes);
    const bool written = std::fwrite(raw, 1, size_t(u.bytes), file) == size_t(u.bytes) &&
                         std::fwrite(zeros, 1, fill, file) == fill;
    if (raw != data) std::free(raw);
    return written ? 1 : 0;
}

} // extern "C"
