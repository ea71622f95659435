// Headers on real streams: block-by-block reading up to END, whole-block writing, data
// skipped by seeking or by reading, and returning to a header or its data.
#define _FILE_OFFSET_BITS 64

#include "fits_files.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <malloc.h>

#include <cstring>

namespace {

// n cards COMMENT 1, COMMENT 2, ... (END not included).
std::vector<std::string> comments(int n, int from = 1)
{
    std::vector<std::string> cards;
    for (int i = 0; i < n; ++i) cards.push_back("COMMENT " + std::to_string(from + i));
    return cards;
}

std::string cards_text(FITSHead fits, int from, int count)
{
    return std::string(fits->cards[from].c, std::size_t(count) * 80);
}

struct OpenFile {
    File f;
    explicit OpenFile(const std::string &name, const char *mode = "rb") : f(std::fopen(name.c_str(), mode)) {}
    ~OpenFile()
    {
        if (f) std::fclose(f);
    }
};

} // namespace

TEST(headfile, end_as_36th_card_fills_one_block)
{
    TempDir dir;
    const std::string header = header_bytes(comments(35));
    OpenFile in(dir.write("a.fits", std::string(kBlock, 'x') + header));
    ASSERT_EQ(fseeko(in.f, 2880, SEEK_SET), 0);
    FITSHead fits = ft_headread(in.f);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->ncard, 36);
    EXPECT_EQ(fits->acard, 36);
    EXPECT_EQ(fits->seek, 2880);
    EXPECT_EQ(fits->data, 5760);
    EXPECT_EQ(ftello(in.f), 5760);
    EXPECT_EQ(fits->mem, FT_MEM_OWNED);
    EXPECT_EQ(cards_text(fits, 0, 36), header);
    EXPECT_EQ(reinterpret_cast<char *>(fits->cards)[2880], '\0');
    ft_headfree(fits, 1);
}

TEST(headfile, headers_of_one_two_and_three_blocks)
{
    TempDir dir;
    struct Case {
        int cards, ncard, acard;
    };
    for (const Case c : {Case{0, 1, 36}, Case{36, 37, 72}, Case{71, 72, 72}, Case{80, 81, 108}}) {
        const std::string header = header_bytes(comments(c.cards));
        OpenFile in(dir.write("h.fits", header + data_bytes(1, 'd')));
        FITSHead fits = ft_headread(in.f);
        ASSERT_NE(fits, nullptr);
        EXPECT_EQ(fits->ncard, c.ncard);
        EXPECT_EQ(fits->acard, c.acard);
        EXPECT_EQ(fits->seek, 0);
        EXPECT_EQ(fits->data, int64_t(header.size()));
        EXPECT_EQ(cards_text(fits, 0, c.acard), header);
        EXPECT_EQ(reinterpret_cast<char *>(fits->cards)[c.acard * 80], '\0');
        EXPECT_EQ(std::fgetc(in.f), 'd');
        ft_headfree(fits, 1);
    }
}

namespace {

// A 30-block header of COMMENT cards, block `history` (0-based) made of HISTORY cards.
std::string thirty_blocks_with_history(int history)
{
    std::vector<std::string> cards;
    for (int block = 0; block < 30; ++block)
        for (int i = 0; i < 36; ++i) {
            if (block == 29 && i == 35) break; // room for END
            char text[40];
            std::snprintf(text, sizeof text, block == history ? "HISTORY block %d" : "COMMENT block %d card %d",
                          block, i);
            cards.push_back(text);
        }
    return header_bytes(cards);
}

} // namespace

TEST(headfile, history_block_past_the_25th_is_dropped)
{
    TempDir dir;
    const std::string header = thirty_blocks_with_history(26);
    ASSERT_EQ(header.size(), 30 * kBlock);
    OpenFile in(dir.write("h.fits", header));
    FITSHead fits = ft_headread(in.f);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->acard, 29 * 36);
    EXPECT_EQ(fits->ncard, 29 * 36);
    EXPECT_EQ(fits->data, int64_t(30 * kBlock));
    EXPECT_EQ(cards_text(fits, 0, 26 * 36), header.substr(0, 26 * kBlock));
    EXPECT_EQ(cards_text(fits, 26 * 36, 3 * 36), header.substr(27 * kBlock));
    EXPECT_EQ(ft_headfind(fits, "HISTORY", 0, 0), nullptr);
    ft_headfree(fits, 1);
}

TEST(headfile, history_block_among_the_first_25_stays)
{
    TempDir dir;
    const std::string header = thirty_blocks_with_history(24);
    OpenFile in(dir.write("h.fits", header));
    FITSHead fits = ft_headread(in.f);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->acard, 30 * 36);
    EXPECT_EQ(cards_text(fits, 0, 30 * 36), header);
    ft_headfree(fits, 1);
}

TEST(headfile, stream_ending_before_end_gives_null)
{
    TempDir dir;
    const std::string header = header_bytes(comments(40));
    ASSERT_EQ(header.size(), 2 * kBlock);
    for (std::size_t cut : {std::size_t(0), std::size_t(1), std::size_t(79), kBlock - 1, kBlock, kBlock + 1,
                            2 * kBlock - 1}) {
        OpenFile in(dir.write("short.fits", header.substr(0, cut)));
        EXPECT_EQ(ft_headread(in.f), nullptr);
    }
    PipeFeed feed(header.substr(0, 2 * kBlock - 80));
    EXPECT_EQ(ft_headread(feed.stream), nullptr);
    // No END at all.
    OpenFile none(dir.write("none.fits", std::string(3 * kBlock, ' ')));
    EXPECT_EQ(ft_headread(none.f), nullptr);
    EXPECT_EQ(ft_headread(nullptr), nullptr);
}

TEST(headfile, supplied_leading_bytes_keep_the_header_start)
{
    TempDir dir;
    const std::string header = header_bytes(comments(40));
    OpenFile in(dir.write("lead.fits", std::string(kBlock, 'x') + header + data_bytes(1, 'd')));
    ASSERT_EQ(fseeko(in.f, 2880, SEEK_SET), 0);
    char first[80];
    ASSERT_EQ(std::fread(first, 80, 1, in.f), 1u);
    FITSHead fits = ft_headread0(in.f, first, 80);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->seek, 2880);
    EXPECT_EQ(fits->data, 3 * 2880);
    EXPECT_EQ(cards_text(fits, 0, 72), header);

    EXPECT_EQ(ft_headseek(in.f, fits), 1);
    EXPECT_EQ(ftello(in.f), 2880);
    FITSHead again = ft_headread(in.f);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->ncard, fits->ncard);
    EXPECT_EQ(ft_dataseek(in.f, fits), 1);
    EXPECT_EQ(std::fgetc(in.f), 'd');
    ft_headfree(again, 1);
    ft_headfree(fits, 1);

    for (int bad : {-1, 2881}) {
        ASSERT_EQ(fseeko(in.f, 2880, SEEK_SET), 0);
        EXPECT_EQ(ft_headread0(in.f, first, bad), nullptr);
    }
}

TEST(headfile, pipe_has_no_positions)
{
    PipeFeed feed(header_bytes(comments(3)));
    char first[80];
    ASSERT_EQ(std::fread(first, 80, 1, feed.stream), 1u);
    FITSHead fits = ft_headread0(feed.stream, first, 80);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->seek, -1);
    EXPECT_EQ(fits->data, -1);
    EXPECT_EQ(fits->ncard, 4);
    EXPECT_EQ(ft_headseek(feed.stream, fits), 0);
    EXPECT_EQ(ft_dataseek(feed.stream, fits), 0);
    EXPECT_EQ(ft_headseek(nullptr, fits), -1);
    EXPECT_EQ(ft_dataseek(feed.stream, nullptr), -1);
    ft_headfree(fits, 1);
}

TEST(headfile, sync_returns_the_previous_flag)
{
    FITSHead fits = ft_headinit(nullptr, 0);
    EXPECT_EQ(ft_sync(nullptr, 1), -1);
    EXPECT_EQ(ft_sync(fits, 5), 0);
    EXPECT_EQ(ft_sync(fits, 0), 5);
    EXPECT_EQ(fits->sync, 0);
    ft_headfree(fits, 1);
}

TEST(headfile, write_counts_whole_blocks)
{
    TempDir dir;
    struct Case {
        int ncard;
        std::size_t bytes;
    };
    for (const Case c : {Case{1, 2880}, Case{36, 2880}, Case{37, 5760}, Case{72, 5760}}) {
        FITSHead fits = ft_headinit(nullptr, 0);
        for (int i = 1; i < c.ncard; ++i) ft_headappi(fits, "N", i, i, nullptr);
        ASSERT_EQ(fits->ncard, c.ncard);
        const std::string name = dir.file("w.fits");
        {
            OpenFile out(name, "wb");
            EXPECT_EQ(ft_headwrite(out.f, fits), 1);
        }
        const std::string written = file_contents(name);
        EXPECT_EQ(written.size(), c.bytes);
        EXPECT_EQ(written, cards_text(fits, 0, int(c.bytes / 80)));
        ft_headfree(fits, 1);
    }
}

TEST(headfile, write_never_reads_past_a_short_card_buffer)
{
    // 40 cards viewed in place, END the 39th: the second block is padded, not read.
    std::vector<std::string> cards = comments(38);
    std::string text;
    for (const auto &c : cards) text += card80(c);
    text += card80("END") + card80("COMMENT after END");
    ASSERT_EQ(text.size(), 40u * 80);
    std::vector<char> buffer(text.begin(), text.end());
    FITSHead fits = ft_headinit(buffer.data(), int64_t(buffer.size()));
    ASSERT_NE(fits, nullptr);
    ASSERT_EQ(fits->ncard, 39);
    ASSERT_EQ(fits->acard, 40);
    TempDir dir;
    const std::string name = dir.file("w.fits");
    {
        OpenFile out(name, "wb");
        EXPECT_EQ(ft_headwrite(out.f, fits), 1);
    }
    EXPECT_EQ(file_contents(name), text + std::string(32 * 80, ' '));
    ft_headfree(fits, 1);
}

TEST(headfile, write_failures_are_reported)
{
    FITSHead fits = ft_headinit(nullptr, 0);
    OpenFile full("/dev/full", "wb");
    ASSERT_NE(full.f, nullptr);
    EXPECT_EQ(ft_headwrite(full.f, fits), 0);
    EXPECT_EQ(ft_headwrite(nullptr, fits), 0);
    EXPECT_EQ(ft_headwrite(full.f, nullptr), 0);
    ft_headfree(fits, 1);
}

namespace {

// A primary of `blocks` data blocks, then an extension named NEXT without data.
std::string primary_then_next(int64_t naxis1)
{
    const std::size_t blocks = std::size_t((naxis1 + 2879) / 2880);
    std::string data;
    data.reserve(blocks * kBlock);
    for (std::size_t i = 0; i < blocks * kBlock; ++i) data += char(i * 7 % 251);
    return primary_cards_text(int(naxis1)) + data + image_unit("NEXT", 0, 0, 'n');
}

} // namespace

TEST(headfile, dataskip_seeks_on_a_regular_file)
{
    TempDir dir;
    const std::string bytes = primary_then_next(5000);
    OpenFile in(dir.write("p.fits", bytes));
    FITSHead prim = ft_headread(in.f);
    ASSERT_NE(prim, nullptr);
    ASSERT_NE(prim->basic, nullptr);
    EXPECT_EQ(prim->basic->databloks, 2);
    EXPECT_EQ(ft_dataskip(in.f, prim, nullptr), 3 * 2880);
    FITSHead next = ft_headread(in.f);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(std::string(next->basic->name), "NEXT");
    EXPECT_EQ(next->seek, 3 * 2880);
    ft_headfree(next, 1);

    // One seek, whatever the file holds: past the end of a cut file as well.
    OpenFile cut(dir.write("cut.fits", bytes.substr(0, 2 * kBlock)));
    FITSHead cut_prim = ft_headread(cut.f);
    ASSERT_NE(cut_prim, nullptr);
    EXPECT_EQ(ft_dataskip(cut.f, cut_prim, nullptr), 3 * 2880);
    ft_headfree(cut_prim, 1);
    ft_headfree(prim, 1);
}

TEST(headfile, dataskip_reads_a_pipe_in_chunks)
{
    // 1201 blocks: many full reads and a remainder.
    const std::string bytes = primary_then_next(1201 * 2880 - 100);
    PipeFeed feed(bytes);
    FITSHead prim = ft_headread(feed.stream);
    ASSERT_NE(prim, nullptr);
    EXPECT_EQ(prim->seek, -1);
    EXPECT_EQ(ft_dataskip(feed.stream, prim, nullptr), -1);
    FITSHead next = ft_headread(feed.stream);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(std::string(next->basic->name), "NEXT");
    EXPECT_EQ(rest_of(feed.stream), "");
    ft_headfree(next, 1);
    ft_headfree(prim, 1);
}

TEST(headfile, dataskip_copies_exactly_the_data_blocks)
{
    TempDir dir;
    const std::string bytes = primary_then_next(501 * 2880);
    OpenFile in(dir.write("p.fits", bytes));
    const std::string copy_name = dir.file("copy.fits");
    OpenFile copy(copy_name, "wb");
    FITSHead prim = ft_headread(in.f);
    ASSERT_NE(prim, nullptr);
    EXPECT_EQ(ft_dataskip(in.f, prim, copy.f), int64_t(kBlock + 501 * kBlock));
    std::fflush(copy.f);
    EXPECT_EQ(file_contents(copy_name), bytes.substr(kBlock, 501 * kBlock));
    ft_headfree(prim, 1);

    // A pipe that ends inside the data: the copy holds what arrived.
    PipeFeed feed(bytes.substr(0, 3 * kBlock + 5));
    const std::string short_name = dir.file("short.fits");
    OpenFile short_copy(short_name, "wb");
    FITSHead piped = ft_headread(feed.stream);
    ASSERT_NE(piped, nullptr);
    ft_dataskip(feed.stream, piped, short_copy.f);
    std::fflush(short_copy.f);
    EXPECT_EQ(file_contents(short_name), bytes.substr(kBlock, 2 * kBlock + 5));
    ft_headfree(piped, 1);
}

TEST(headfile, dataskip_moves_nothing_without_data_or_description)
{
    TempDir dir;
    const std::string empty = primary_cards_text(0);
    const std::string eleven = header_bytes({"SIMPLE  =                    T", "BITPIX  =                    8",
                                             "NAXIS   =                   11"});
    for (const std::string &header : {empty, eleven}) {
        OpenFile in(dir.write("n.fits", header + data_bytes(2, 'd')));
        FITSHead fits = ft_headread(in.f);
        ASSERT_NE(fits, nullptr);
        EXPECT_EQ(ft_dataskip(in.f, fits, nullptr), 2880);
        EXPECT_EQ(ftello(in.f), 2880);
        ft_headfree(fits, 1);
    }
    FITSHead fits = ft_headinit(nullptr, 0);
    EXPECT_EQ(ft_dataskip(nullptr, fits, nullptr), -1);
    ft_headfree(fits, 1);
}

#if !defined(__SANITIZE_ADDRESS__)
namespace {

// In a child: limit the address space to 64 MiB more than now, read a header from
// /dev/zero (no END ever comes) and exit 0 when the reader gave null and kept nothing.
[[noreturn]] void read_endless_header_under_limit()
{
    long pages = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(64) << 20);
    if (pages == 0 || setrlimit(RLIMIT_AS, &lim) != 0) std::_Exit(2);
    File zero = std::fopen("/dev/zero", "rb");
    const struct mallinfo2 before = mallinfo2();
    FITSHead fits = ft_headread(zero);
    const struct mallinfo2 after = mallinfo2();
    const long long kept = (long long)(after.uordblks + after.hblkhd) - (long long)(before.uordblks + before.hblkhd);
    std::_Exit(fits == nullptr && kept < (1LL << 20) ? 0 : 1);
}

} // namespace

// Under AddressSanitizer the address-space limit cannot be applied.
TEST(headfile, store_that_cannot_grow_gives_null)
{
    EXPECT_EXIT(read_endless_header_under_limit(), ::testing::ExitedWithCode(0), "");
}
#endif

TEST(headfile, write_stores_descriptions_when_synced)
{
    TempDir dir;
    OpenFile in(dir.write("p.fits", primary_cards_text(10) + data_bytes(1, 'd')));
    FITSHead fits = ft_headread(in.f);
    ASSERT_NE(fits, nullptr);
    fits->basic->bitpix = 16;
    const std::string name = dir.file("w.fits");
    for (int sync : {0, 1}) {
        ft_sync(fits, sync);
        {
            OpenFile out(name, "wb");
            EXPECT_EQ(ft_headwrite(out.f, fits), 1);
        }
        EXPECT_EQ(file_contents(name).substr(80, 80), card80(sync ? "BITPIX  =                   16"
                                                                  : "BITPIX  =                    8"));
    }
    ft_headfree(fits, 1);
}

TEST(headfile, units_past_2_gib_are_reached)
{
    // A sparse file: a primary of 65536 x 40000 bytes (2621440000, past 2^31), then
    // an extension header.
    TempDir dir;
    const std::string prim = header_bytes({"SIMPLE  =                    T", "BITPIX  =                    8",
                                           "NAXIS   =                    2", "NAXIS1  =                65536",
                                           "NAXIS2  =                40000"});
    const std::string next = image_unit("NEXT", 0, 0, 'n');
    const int64_t data_blocks = (int64_t(65536) * 40000 + 2879) / 2880;
    const int64_t next_at = int64_t(kBlock) + data_blocks * 2880;
    const std::string name = dir.file("big.fits");
    {
        OpenFile out(name, "wb");
        ASSERT_NE(out.f, nullptr);
        ASSERT_EQ(std::fwrite(prim.data(), 1, prim.size(), out.f), prim.size());
        ASSERT_EQ(fseeko(out.f, next_at, SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(next.data(), 1, next.size(), out.f), next.size());
    }
    OpenFile in(name);
    FITSHead fits = ft_headread(in.f);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->basic->databloks, data_blocks);
    EXPECT_EQ(ft_dataskip(in.f, fits, nullptr), next_at);
    FITSHead ext = ft_headread(in.f);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->seek, next_at);
    EXPECT_EQ(ext->data, next_at + int64_t(kBlock));
    EXPECT_EQ(std::string(ext->basic->name), "NEXT");
    EXPECT_EQ(ft_headseek(in.f, ext), 1);
    EXPECT_EQ(ftello(in.f), next_at);
    ft_headfree(ext, 1);
    ft_headfree(fits, 1);
}
