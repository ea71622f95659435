// Keeping a header's cards and its interpreted descriptions in step: the descriptions
// are rebuilt from the cards, or stored back into them before the header is written.
// Headers on streams: a FITS file is a sequence of header-data units of whole 2880-byte
// blocks; a header is read block by block up to its END card, written as whole blocks,
// and a data unit is passed over by seeking or by reading.
#define _FILE_OFFSET_BITS 64 // 64-bit stream positions on 32-bit hosts too

#include "card_store.h"
#include "fits.h"
#include "keyword_card.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/types.h>

extern "C" {

void ft_syncdata(FITSHead fits)
{
    if (!fits) return;
    ft_basicfree(fits->basic);
    fits->basic = nullptr;
    ft_imagefree(fits->image);
    fits->image = nullptr;
    // The image loader needs the basic description, so the order matters.
    fits->basic = ft_basicloadhead(fits);
    fits->image = ft_imageloadhead(fits);
    // The table description is loaded last: it reads the basic description's first axis.
    ft_tablefree(fits->table);
    fits->table = ft_tableloadhead(fits);
}

void ft_synchead(FITSHead fits)
{
    if (!fits) return;
    if (fits->basic) ft_basicstorhead(fits, fits->basic);
    if (fits->image) ft_imagestorhead(fits, fits->image);
    if (fits->table) ft_tablestorhead(fits, fits->table);
}

} // extern "C"

namespace {

using namespace card_store;

// Beyond this many blocks, a block made wholly of HISTORY cards is dropped from the
// header being read, so a runaway history cannot swell it without end.
constexpr int kKeptBlocks = 25;
// Data is passed over through reads of at most this many blocks, into a buffer on
// the stack of the calling thread (threads pass over units at once); a pipe gives
// at most 64 KiB a read in any case.
constexpr int64_t kChunkBlocks = 8;
constexpr int64_t kChunkBytes = kChunkBlocks * kBlockBytes;

char *block_at(FITSHead fits, int block)
{
    return reinterpret_cast<char *>(fits->cards) + std::size_t(block) * kBlockBytes;
}

bool read_fully(File file, char *to, std::size_t bytes)
{
    return bytes == 0 || std::fread(to, 1, bytes, file) == bytes;
}

// Grow the header's owned store by one blank block after its `blocks` blocks.
bool grow_block(FITSHead fits, int blocks)
{
    const std::size_t size = owned_bytes(int64_t(blocks + 1) * kBlockCards);
    if (size == 0) return false;
    void *grown = std::realloc(fits->cards, size);
    if (!grown) return false;
    fits->cards = fits->last = static_cast<FITSCard>(grown);
    blank_tail(fits->cards, blocks * kBlockCards, (blocks + 1) * kBlockCards);
    return true;
}

// A one-block owned store, blank and terminated, adopted by a new header.
FITSHead new_block_header()
{
    const std::size_t size = owned_bytes(kBlockCards);
    auto *store = static_cast<FITSCard>(std::malloc(size));
    if (!store) return nullptr;
    blank_tail(store, 0, kBlockCards);
    FITSHead fits = ft_headinit(store, -kBlockBytes);
    if (!fits) std::free(store);
    return fits;
}

// Read blocks after the first one until one holds END; the store keeps every block up
// to the 25th and, past it, those not made wholly of HISTORY cards.  Returns false on a
// short stream or when the store cannot grow.
bool read_to_end(File file, FITSHead fits)
{
    KeywordCard end("END", 0);
    int blocks = 1;
    for (;;) {
        int match = 0, nhist = 0;
        FITSCard last = reinterpret_cast<FITSCard>(block_at(fits, blocks - 1));
        FITSCard found = ft_cardfindblok(last, end.get(), &match, &nhist);
        if (match) {
            fits->ncard = int(found - fits->cards) + 1;
            fits->acard = blocks * kBlockCards;
            return true;
        }
        const bool drop = blocks > kKeptBlocks && nhist == kBlockCards;
        if (!drop) {
            if (!grow_block(fits, blocks)) return false;
            ++blocks;
        }
        if (!read_fully(file, block_at(fits, blocks - 1), kBlockBytes)) return false;
    }
}

// Where the header began: `consumed` bytes before the stream's position, -1 when the
// stream has no positions.
int64_t start_of(File file, int consumed)
{
    const int64_t at = ftello(file);
    return at < consumed ? -1 : at - consumed;
}

// Pass over `bytes` bytes by reading, copying them to ofile when given.  Stops early at
// the end of the input; the copy receives what was read.
void read_over(File ifile, int64_t bytes, File ofile)
{
    char chunk[kChunkBytes];
    while (bytes > 0) {
        const std::size_t want = std::size_t(bytes < kChunkBytes ? bytes : kChunkBytes);
        const std::size_t got = std::fread(chunk, 1, want, ifile);
        if (ofile && got > 0) std::fwrite(chunk, 1, got, ofile);
        if (got < want) return;
        bytes -= int64_t(got);
    }
}

int position_at(File file, int64_t where)
{
    if (!file) return -1;
    if (where < 0 || fseeko(file, off_t(where), SEEK_SET) != 0) return 0;
    return ftello(file) == -1 ? 0 : 1;
}

} // namespace

extern "C" {

FITSHead ft_headread0(File file, const char *card1, int n)
{
    if (!file || n < 0 || n > kBlockBytes) return nullptr;
    if (!card1) n = 0;
    FITSHead fits = new_block_header();
    if (!fits) return nullptr;
    fits->seek = start_of(file, n);
    char *first = block_at(fits, 0);
    if (n > 0) std::memcpy(first, card1, std::size_t(n));
    if (!read_fully(file, first + n, std::size_t(kBlockBytes - n)) || !read_to_end(file, fits)) {
        ft_headfree(fits, 1);
        return nullptr;
    }
    fits->data = ftello(file);
    ft_syncdata(fits);
    return fits;
}

FITSHead ft_headread(File file) { return ft_headread0(file, nullptr, 0); }

int ft_headwrite(File file, FITSHead fits)
{
    if (!file || !fits || !fits->cards) return 0;
    if (fits->sync) ft_synchead(fits);
    const int64_t blocks = (int64_t(fits->ncard) + kBlockCards - 1) / kBlockCards;
    // The cards in store fill the blocks; a store that ends short of a whole block
    // (cards viewed in a caller's buffer) is padded with blanks, never read past.
    const int64_t stored = fits->acard < blocks * kBlockCards ? fits->acard : blocks * kBlockCards;
    const std::size_t bytes = std::size_t(stored) * kCardBytes;
    bool written = std::fwrite(fits->cards, 1, bytes, file) == bytes;
    FITSBuff blank;
    std::memset(blank.c, ' ', sizeof blank.c);
    for (int64_t pad = stored; pad < blocks * kBlockCards; ++pad)
        written = std::fwrite(&blank, 1, kCardBytes, file) == std::size_t(kCardBytes) && written;
    return std::fflush(file) == 0 && written ? 1 : 0;
}

int64_t ft_dataskip(File ifile, FITSHead fits, File ofile)
{
    if (!ifile || !fits) return -1;
    // Without a basic description nothing sizes the data, so nothing is skipped.
    if (!fits->basic || fits->basic->databytes <= 0) return ftello(ifile);
    if (fits->basic->databloks > INT64_MAX / kBlockBytes) return -1;
    const int64_t bytes = fits->basic->databloks * kBlockBytes;
    if (fits->seek != -1 && !ofile && fseeko(ifile, off_t(bytes), SEEK_CUR) == 0) return ftello(ifile);
    read_over(ifile, bytes, ofile);
    return ftello(ifile);
}

int ft_headseek(File file, FITSHead fits) { return fits ? position_at(file, fits->seek) : -1; }

int ft_dataseek(File sfile, FITSHead fits) { return fits ? position_at(sfile, fits->data) : -1; }

int ft_sync(FITSHead fits, int x)
{
    if (!fits) return -1;
    const int old = fits->sync;
    fits->sync = x;
    return old;
}

} // extern "C"
