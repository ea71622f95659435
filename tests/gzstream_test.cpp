// gzip-compressed FITS files read through the stream openers: the same headers and
// pixels as the plain file, from single and multi-member streams made here with
// stored blocks (no zlib involved) and by /usr/bin/gzip; streams cut short or
// damaged are refused or read as an error, never read outside a buffer.
#include "fits.h"
#include "fits_files.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// ---- gzip streams written by hand (RFC 1952 with stored deflate blocks) ----------

uint32_t crc32_of(const std::string &bytes)
{
    uint32_t crc = 0xffffffffu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put_le(std::string &s, uint32_t v, int bytes)
{
    for (int k = 0; k < bytes; k++) s += char(uint8_t(v >> (8 * k)));
}

// One gzip member holding bytes in stored blocks of at most `block` bytes.
std::string gzip_member(const std::string &bytes, std::size_t block = 65535)
{
    std::string g = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(block, bytes.size() - at);
        const bool last = at + n == bytes.size();
        g += char(last ? 1 : 0);
        put_le(g, uint32_t(n), 2);
        put_le(g, uint32_t(~n & 0xffffu), 2);
        g.append(bytes, at, n);
        at += n;
    } while (at < bytes.size());
    put_le(g, crc32_of(bytes), 4);
    put_le(g, uint32_t(bytes.size()), 4);
    return g;
}

bool library_inflates()
{
#ifdef TOLV_HAVE_ZLIB
    return true;
#else
    return false;
#endif
}

std::string right(int64_t v) { return std::string(20 - std::to_string(v).size(), ' ') + std::to_string(v); }

// A primary with a small 8-bit array, then a 16-bit IMAGE extension of 300 x 41
// pixels (several blocks) whose values are a known function of their place.
std::string sample_file()
{
    std::string f = header_bytes({"SIMPLE  =                    T", "BITPIX  =                    8",
                                  "NAXIS   =                    1", "NAXIS1  =                   10",
                                  "EXTEND  =                    T", "OBJECT  = 'gz test '"});
    std::string d = "0123456789";
    d.resize(kBlock, '\0');
    f += d;
    f += header_bytes({"XTENSION= 'IMAGE   '", "BITPIX  =                   16", "NAXIS   =                    2",
                       "NAXIS1  = " + right(300), "NAXIS2  = " + right(41), "PCOUNT  =                    0",
                       "GCOUNT  =                    1", "EXTNAME = 'SCI     '", "HISTORY one of the sample's cards"});
    std::string pixels;
    for (int i = 0; i < 300 * 41; i++) {
        const int16_t v = int16_t(i * 37 - 20000);
        pixels += char(uint8_t(uint16_t(v) >> 8));
        pixels += char(uint8_t(v));
    }
    pixels.resize((pixels.size() + kBlock - 1) / kBlock * kBlock, '\0');
    return f + pixels;
}

// How many of the bytes gzip_member(bytes, block) holds come before byte `cut` of it.
std::size_t stored_before(std::size_t size, std::size_t block, std::size_t cut)
{
    std::size_t kept = 0;
    for (std::size_t k = 0, at = 10; k * block < size || (k == 0 && size == 0); k++, at += block + 5) {
        const std::size_t n = std::min(block, size - k * block), data = at + 5;
        if (cut > data) kept += std::min(n, cut - data);
    }
    return kept;
}

// A short text standing for the header's cards and the data: their count and CRC.
std::string signature(FITSHead h, const void *data, std::size_t bytes)
{
    std::string all = std::string(h->cards[0].c, std::size_t(h->ncard) * 80);
    all.append(static_cast<const char *>(data), bytes);
    return std::to_string(h->ncard) + " cards, " + std::to_string(bytes) + " bytes, crc " +
           std::to_string(crc32_of(all));
}

// What ft_simpleimageread gives for the name (its header and pixels as int32), or
// "refused".
std::string image_read(const std::string &name)
{
    FITSHead h = nullptr;
    void *data = nullptr;
    void **view = nullptr;
    if (!ft_simpleimageread(name.c_str(), &h, &data, &view, 32)) {
        EXPECT_EQ(h == nullptr, true);
        return "refused";
    }
    const std::string out = signature(h, data, std::size_t(h->basic->datapixls) * 4);
    std::free(view);
    std::free(data);
    ft_headfree(h, 1);
    return out;
}

// The header ft_fitsheadopen selects and everything the stream holds after it.
std::string head_open(const std::string &name, bool *stream_error = nullptr)
{
    FITSHead h = nullptr;
    char tail[FT_NAME_BYTES];
    File f = ft_fitsheadopen(name.c_str(), &h, tail, sizeof tail, "r");
    if (!f) return "refused";
    const std::string rest = rest_of(f);
    const std::string out = signature(h, rest.data(), rest.size());
    if (stream_error) *stream_error = std::ferror(f) != 0;
    std::fclose(f);
    ft_headfree(h, 1);
    return out;
}

TEST(gzstream, gzip_files_read_as_the_plain_file)
{
    TempDir dir;
    const std::string plain = sample_file();
    const std::string p = dir.write("plain.fits", plain);
    // One member of many stored blocks, and three members back to back.
    const std::string one = dir.write("one.fits.gz", gzip_member(plain, 1000));
    const std::string three = dir.write(
        "three.fits.gz", gzip_member(plain.substr(0, 100)) + gzip_member(plain.substr(100, 5000)) +
                             gzip_member(plain.substr(5100)));
    for (const std::string &gz : {one, three}) {
        SCOPED_TRACE(gz);
        if (!library_inflates()) {
            EXPECT_EQ(image_read(gz + "[1]"), "refused");
            EXPECT_EQ(head_open(gz + "[SCI]"), "refused");
            continue;
        }
        EXPECT_EQ(image_read(gz + "[1]"), image_read(p + "[1]"));
        EXPECT_EQ(image_read(gz), image_read(p));
        EXPECT_EQ(head_open(gz + "[SCI]"), head_open(p + "[SCI]"));
        EXPECT_EQ(head_open(gz), head_open(p));
    }
    EXPECT_EQ(image_read(p + "[1]") == "refused", false);
}

TEST(gzstream, files_compressed_by_gzip)
{
    if (!library_inflates()) GTEST_SKIP() << "built without zlib";
    if (access("/usr/bin/gzip", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/gzip";
    TempDir dir;
    const std::string plain = sample_file();
    const std::string p = dir.write("plain.fits", plain);
    const std::string a = dir.write("a.fits", plain.substr(0, 7000));
    const std::string b = dir.write("b.fits", plain.substr(7000));
    const std::string cmd = "/usr/bin/gzip -c -9 " + p + " > " + dir.file("g.fits.gz") + " && /usr/bin/gzip -c -1 " +
                            a + " > " + dir.file("m.fits.gz") + " && /usr/bin/gzip -c " + b + " >> " +
                            dir.file("m.fits.gz");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (const char *gz : {"g.fits.gz", "m.fits.gz"}) {
        SCOPED_TRACE(gz);
        EXPECT_EQ(image_read(dir.file(gz) + "[SCI]"), image_read(p + "[SCI]"));
        EXPECT_EQ(head_open(dir.file(gz) + "[1]"), head_open(p + "[1]"));
    }
}

TEST(gzstream, stream_cannot_seek_and_reads_as_a_pipe)
{
    if (!library_inflates()) GTEST_SKIP() << "built without zlib";
    TempDir dir;
    const std::string plain = sample_file();
    const std::string gz = dir.write("s.fits.gz", gzip_member(plain));
    FITSHead h = nullptr;
    char tail[FT_NAME_BYTES];
    File f = ft_fitsheadopen((gz + "[1]").c_str(), &h, tail, sizeof tail, "r");
    ASSERT_EQ(f != nullptr, true);
    EXPECT_EQ(h->seek, int64_t(-1));
    EXPECT_EQ(ftello(f), off_t(-1));
    EXPECT_EQ(fseeko(f, 0, SEEK_SET), -1);
    // The data still follow the header on the stream.
    void *data = ft_dataread(f, h, nullptr, 16);
    ASSERT_EQ(data != nullptr, true);
    EXPECT_EQ(static_cast<int16_t *>(data)[1], int16_t(37 - 20000));
    EXPECT_EQ(static_cast<int16_t *>(data)[300 * 41 - 1], int16_t((300 * 41 - 1) * 37 - 20000));
    std::free(data);
    std::fclose(f);
    ft_headfree(h, 1);
    // Writing modes open the file plain: its bytes, not a gzip stream's.
    File w = ft_fitsheadopen(gz.c_str(), nullptr, tail, sizeof tail, "r+C");
    ASSERT_EQ(w != nullptr, true);
    EXPECT_EQ(std::fgetc(w), 0x1f);
    std::fclose(w);
}

TEST(gzstream, streams_cut_short_are_refused)
{
    if (!library_inflates()) GTEST_SKIP() << "built without zlib";
    TempDir dir;
    const std::string plain = sample_file();
    const std::string whole = gzip_member(plain, 4000);
    // Every cut reads as the plain file cut after the bytes that survive it (which
    // the library refuses unless only the last block's fill is lost).
    int refused = 0;
    for (std::size_t cut = 0; cut + 8 < whole.size(); cut += cut < 200 ? 1 : 97) {
        SCOPED_TRACE(cut);
        const std::string f = dir.write("cut.fits.gz", whole.substr(0, cut));
        const std::string p = dir.write("cut.fits", plain.substr(0, stored_before(plain.size(), 4000, cut)));
        const std::string got = image_read(f + "[1]");
        EXPECT_EQ(got, image_read(p + "[1]"));
        refused += got == "refused";
    }
    EXPECT_EQ(refused > 500, true);
    // A cut in the trailer loses no bytes, but a reader that reads on to the end
    // of the stream sees the error.
    for (std::size_t lost = 1; lost <= 8; lost++) {
        SCOPED_TRACE(lost);
        bool error = false;
        const std::string f = dir.write("trailer.fits.gz", whole.substr(0, whole.size() - lost));
        head_open(f, &error);
        EXPECT_EQ(error, true);
    }
    bool error = true;
    head_open(dir.write("whole.fits.gz", whole), &error);
    EXPECT_EQ(error, false);
}

TEST(gzstream, damaged_streams_read_as_an_error)
{
    if (!library_inflates() || access("/usr/bin/gzip", X_OK) != 0) GTEST_SKIP() << "needs zlib and /usr/bin/gzip";
    TempDir dir;
    const std::string plain = sample_file();
    const std::string p = dir.write("plain.fits", plain);
    ASSERT_EQ(std::system(("/usr/bin/gzip -n -c " + p + " > " + dir.file("d.gz")).c_str()), 0);
    const std::string good = file_contents(dir.file("d.gz"));
    std::mt19937 rng(7);
    // A changed byte past the gzip header (whose time and OS bytes are not
    // checked): inflating to the end finds the damage, by the code or the CRC.
    for (int trial = 0; trial < 200; trial++) {
        std::string bad = good;
        const std::size_t at = 10 + rng() % (bad.size() - 10);
        bad[at] = char(bad[at] ^ (1 + rng() % 255));
        const std::string f = dir.write("bad.fits.gz", bad);
        bool error = false;
        const std::string got = head_open(f, &error);
        SCOPED_TRACE(at);
        EXPECT_EQ(got == "refused" || error, true);
        // The image reader gives a result or refuses, never reads outside (ASan).
        image_read(f + "[1]");
    }
}

TEST(gzstream, files_that_only_look_compressed)
{
    TempDir dir;
    // The first magic byte alone, an empty file, and trailing bytes after a member.
    EXPECT_EQ(image_read(dir.write("x.fits", std::string("\x1f", 1) + sample_file())), "refused");
    EXPECT_EQ(image_read(dir.write("e.fits", "")), "refused");
    EXPECT_EQ(image_read(dir.write("m.fits", std::string("\x1f\x8b", 2))), "refused");
    if (!library_inflates()) return;
    const std::string plain = sample_file();
    const std::string p = dir.write("plain.fits", plain);
    EXPECT_EQ(image_read(dir.write("t.fits.gz", gzip_member(plain) + std::string(100, '\0')) + "[1]"),
              image_read(p + "[1]"));
}

} // namespace
