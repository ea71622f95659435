// Hostile files: a small valid mosaic cut at every length and damaged in the ways
// crafted or broken files are, run through the library's readers and the built tolv.
// Nothing may crash or hang; tolv exits 0 or 1, says why when it refuses, and leaves
// a refused file byte for byte as it was.
#include "layout.h"
#include "mosaic.h"

#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace unitbytes;

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kNx = 6, kNy = 5, kExtensions = 2;
constexpr std::size_t kBlockBytes = 2880;


std::vector<float> pixels(int e, bool fringe)
{
    std::vector<float> v;
    for (int y = 0; y < kNy; y++)
        for (int x = 0; x < kNx; x++) {
            const double f = std::sin(1.3 * x + 0.4) * std::cos(0.9 * y);
            v.push_back(float(fringe ? f : 100.0 * e + 0.5 * x - 0.25 * y + 12.0 * f + ((x * 7 + y * 3) % 5) * 0.1));
        }
    return v;
}

// The science mosaic as units, so that variants can edit its cards; unit 1 carries
// DETSIZE, every extension its DETSEC.
std::vector<Unit> science_units()
{
    std::vector<Unit> units = {primary()};
    for (int e = 1; e <= kExtensions; e++) {
        const std::string sec = "[" + std::to_string((e - 1) * kNx + 1) + ":" + std::to_string(e * kNx) + ",1:" +
                                std::to_string(kNy) + "]";
        units.push_back(float_image(kNx, kNy, pixels(e, false),
                                    {card("DETSIZE", str("[1:12,1:5]")), card("DETSEC", str(sec))}));
    }
    return units;
}

Bytes fringe_bytes()
{
    std::vector<Unit> units = {primary()};
    for (int e = 1; e <= kExtensions; e++) units.push_back(float_image(kNx, kNy, pixels(e, true)));
    return file_bytes(units);
}

// Bytes of the mosaic after edit(units) changed its cards.
Bytes edited(const std::function<void(std::vector<Unit> &)> &edit)
{
    std::vector<Unit> units = science_units();
    edit(units);
    return file_bytes(units);
}

// Replaces the card of unit u whose keyword is key (appends it when missing).
void set_card(std::vector<Unit> &units, int u, const std::string &key, const std::string &value)
{
    for (auto &c : units[size_t(u)].cards)
        if (c.compare(0, 8, (key + "        ").substr(0, 8)) == 0) {
            c = card(key, value);
            return;
        }
    units[size_t(u)].cards.push_back(card(key, value));
}

// The readers of the library over bytes: every unit found in memory lies inside
// them, and the memory is never written.  Returns the units found in memory.
int read_in_memory(const Bytes &bytes)
{
    auto *region = static_cast<unsigned char *>(std::malloc(bytes.size() + 1));
    if (!bytes.empty()) std::memcpy(region, bytes.data(), bytes.size());
    int found = 0;
    for (int indx = 0; indx <= kExtensions + 1; indx++) {
        FITSHead h = nullptr;
        void *data = nullptr;
        void **view = nullptr;
        if (!ft_indxmemdata(region, int64_t(bytes.size()), FT_MEM_BUFFER, "", indx, &h, &data, &view)) continue;
        const auto *start = static_cast<unsigned char *>(data);
        EXPECT_EQ(start + h->basic->databytes <= region + bytes.size(), true);
        found++;
        std::free(view);
        ft_headfree(h, 0);
    }
    if (!bytes.empty()) {
        EXPECT_EQ(std::memcmp(region, bytes.data(), bytes.size()), 0);
    }
    std::free(region);
    return found;
}

// Headers read one after another from a stream over the bytes, data passed over.
// A real file, not fmemopen: 32-bit glibc corrupts its heap when an fmemopen stream
// is asked to seek 4 GiB or more, as skipping a huge claimed data unit does.
int read_on_stream(const Bytes &bytes)
{
    FILE *f = std::tmpfile();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    int n = 0;
    while (FITSHead h = ft_headread(f)) {
        n++;
        const int64_t at = ft_dataskip(f, h, nullptr);
        ft_headfree(h, 1);
        if (at < 0 || n > 100) break;
    }
    std::fclose(f);
    return n;
}

struct Outcome {
    ToolRun run;
    bool unchanged;
};

// tolv on the science bytes with a whole fringe file; the science file afterwards
// is compared with what was written.
Outcome run_tool(const TestDir &dir, const Bytes &science)
{
    const std::string sci = dir.file("science.fits"), fringe = dir.file("fringe.fits");
    write(sci, science);
    write(fringe, fringe_bytes());
    Outcome o{run_tolv({sci, fringe}), false};
    o.unchanged = read(sci) == science;
    return o;
}

// What every run must show: status 0 or 1, a reason on stderr for 1, and a refused
// file untouched.  Returns the status.
int expect_sound(const Outcome &o, const std::string &what)
{
    EXPECT_EQ(o.run.status == 0 || o.run.status == 1, true) << what << ": status " << o.run.status;
    if (o.run.status != 0) {
        EXPECT_EQ(o.run.err.empty(), false) << what;
        EXPECT_EQ(o.unchanged, true) << what;
    }
    return o.run.status;
}

// Each tolv run costs a process start, a tenth of a second under the address
// sanitizer: there the tool runs on every kToolStride-th case only, while the
// library's readers still see every one.
// The in-process readers take every 7th cut there (7 is prime to the card and
// block sizes, so every column of a card is still cut somewhere).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kToolStride = 6, kCutStride = 7;
#else
constexpr std::size_t kToolStride = 1, kCutStride = 1;
#endif

// Units start at 0, 2880 and 8640; each extension has one header block and 120
// bytes of data in a block of its own.
constexpr std::size_t kUnitStart[] = {0, 2880, 8640};
constexpr std::size_t kDataBytes = kNx * kNy * 4;

// Units of the mosaic cut to len bytes that can be found: a header block and the
// unit's data (not necessarily its padding).
int whole_units(std::size_t len)
{
    int n = len >= kBlockBytes ? 1 : 0;
    for (int e = 1; e <= kExtensions; e++) n += len >= kUnitStart[e] + kBlockBytes + kDataBytes;
    return n;
}

} // namespace

TEST(hostile, every_truncation_through_the_readers)
{
    const Bytes whole = file_bytes(science_units());
    ASSERT_EQ(whole.size(), 5 * kBlockBytes);
    int wrong_memory = 0, wrong_stream = 0;
    for (std::size_t len = 0; len <= whole.size(); len += kCutStride) {
        const Bytes cut(whole.begin(), whole.begin() + std::ptrdiff_t(len));
        // A unit is found once its header block and its data (not its padding) are in.
        wrong_memory += read_in_memory(cut) != whole_units(len);
        int headers = 0;
        for (std::size_t start : kUnitStart) headers += len >= start + kBlockBytes;
        wrong_stream += read_on_stream(cut) != headers;
    }
    EXPECT_EQ(wrong_memory, 0);
    EXPECT_EQ(wrong_stream, 0);
}

TEST(hostile, tolv_on_cut_files)
{
    const Bytes whole = file_bytes(science_units());
    // Every card boundary, and the bytes on either side of each block boundary and of
    // each data unit's end.
    std::vector<std::size_t> lengths;
    for (std::size_t len = 0; len <= whole.size(); len += 80) lengths.push_back(len);
    for (std::size_t b = kBlockBytes; b <= whole.size(); b += kBlockBytes) {
        lengths.push_back(b - 1);
        lengths.push_back(b + 1);
    }
    for (std::size_t start : {kUnitStart[1], kUnitStart[2]}) {
        lengths.push_back(start + kBlockBytes + kDataBytes - 1);
        lengths.push_back(start + kBlockBytes + kDataBytes);
    }
    TestDir dir;
    for (std::size_t i = 0; i < lengths.size(); i += kToolStride) {
        const std::size_t len = lengths[i];
        if (len > whole.size()) continue;
        const Outcome o = run_tool(dir, Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(len)));
        const std::string what = "cut at " + std::to_string(len);
        // Without a whole primary header there is no mosaic; a cut inside an
        // extension's header or data is refused before anything is written; a cut
        // in the last unit's padding leaves whole units, which are corrected.
        bool inside_a_unit = false;
        for (int e = 1; e <= kExtensions; e++)
            inside_a_unit = inside_a_unit || (kUnitStart[e] < len && len < kUnitStart[e] + kBlockBytes + kDataBytes);
        EXPECT_EQ(expect_sound(o, what), len < kBlockBytes || inside_a_unit ? 1 : 0) << what;
        if (inside_a_unit) {
            EXPECT_NE(o.run.err.find("truncated"), std::string::npos) << what << o.run.err;
        }
        EXPECT_EQ(o.run.err.find("are left as they are"), std::string::npos) << what << o.run.err;
    }
}

namespace {

// What tolv must do with a damaged science file: the status, a text its stderr
// holds, and whether the file must be left as it was.
struct Expected {
    int status;
    std::string says;
    bool unchanged;
};
// The primary header ran on into unit 1's: refused, as its BITPIX and NAXIS are then given twice.
const Expected kPrimaryRunsOn{1, ": primary unit: its header has no END card: it runs on into the header at card 37",
                              true};
const Expected kBadUnit1{1, ": extension 1: ", true};  // unit 1 begins a header but is not whole
const Expected kBadUnit2{1, ": extension 2: ", true};
const Expected kWhole{0, "", false};
Expected refused(int e) { return {1, "extension " + std::to_string(e) + ": expected", true}; }

struct Variant {
    std::string name;
    Bytes bytes;
    Expected expected;
};

std::vector<Variant> damaged_variants()
{
    std::vector<Variant> v;
    auto card_edit = [&](int unit, const std::string &key, const std::string &value, const Expected &e) {
        v.push_back({key + " " + value + " in unit " + std::to_string(unit),
                     edited([&](std::vector<Unit> &u) { set_card(u, unit, key, value); }), e});
    };
    const Bytes whole = file_bytes(science_units());
    // The END card of a header blanked: the header must not run on into the next one.
    // The primary, which has no data, runs on through unit 1's header to its END.
    const Expected no_end[] = {kPrimaryRunsOn, kBadUnit1, kBadUnit2};
    for (int u = 0; u < 3; u++) {
        Bytes b = whole;
        for (std::size_t at = kUnitStart[u]; at < kUnitStart[u] + kBlockBytes; at += 80)
            if (std::memcmp(&b[at], "END     ", 8) == 0) std::memset(&b[at], ' ', 3);
        v.push_back({"no END in unit " + std::to_string(u), b, u == 0 ? kPrimaryRunsOn : no_end[u]});
    }
    // NUL, non-ASCII and control bytes in a keyword, a value indicator and a value.
    const std::pair<std::size_t, Expected> places[] = {
        {79, {1, "Couldn't open file", true}},   {kUnitStart[1] + 80 + 28, kBadUnit1},
        {kUnitStart[1] + 3 * 80 + 2, kBadUnit1}, {kUnitStart[1] + 3 * 80 + 8, kBadUnit1},
        {kUnitStart[1] + 3 * 80 + 29, kBadUnit1}, {kUnitStart[2] + 10, kBadUnit2}};
    for (const auto &[at, e] : places)
        for (unsigned char byte : {0x00, 0x80, 0xff, 0x0a}) {
            Bytes b = whole;
            b[at] = byte;
            v.push_back({"byte " + std::to_string(byte) + " at " + std::to_string(at), b, e});
        }
    // Negative, overflowing and huge counts: no unit, or one refused.
    for (const char *n : {"-1", "2147483647", "-2147483648", "99999999999999999999", "0x7fffffff"}) {
        card_edit(1, "NAXIS", n, kBadUnit1);
        card_edit(1, "NAXIS1", n, kBadUnit1);
        card_edit(2, "NAXIS2", n, kBadUnit2);
        card_edit(1, "PCOUNT", n, kBadUnit1);
        card_edit(2, "GCOUNT", n, kBadUnit2);
    }
    card_edit(1, "NAXIS", "11", kBadUnit1);
    card_edit(1, "NAXIS1", "11", refused(2));  // unit 1 is whole but 11 wide; unit 2 is not
    card_edit(1, "PCOUNT", "11", refused(1));
    card_edit(1, "GCOUNT", "0", refused(1));
    v.push_back({"axes whose product overflows", edited([](std::vector<Unit> &u) {
                     set_card(u, 1, "BITPIX", "-64");
                     set_card(u, 1, "NAXIS", "3");
                     for (const char *k : {"NAXIS1", "NAXIS2", "NAXIS3"}) set_card(u, 1, k, "2147483647");
                 }),
                 kBadUnit1});
    v.push_back({"a third axis of 0", edited([](std::vector<Unit> &u) {
                     set_card(u, 1, "NAXIS", "3");
                     set_card(u, 1, "NAXIS3", "0");
                 }),
                 refused(1)});
    for (const char *b : {"7", "0", "64"}) card_edit(1, "BITPIX", b, refused(1));
    for (const char *b : {"2147483647", "-2147483648"}) card_edit(1, "BITPIX", b, kBadUnit1);
    // A last unit that is a table with damaged TFIELDS and TBCOL: read, then refused.
    for (const char *t : {"-1", "0", "1000", "2147483647"})
        for (const char *col : {"-5", "0", "7", "2147483647"})
            v.push_back({std::string("table TFIELDS ") + t + " TBCOL1 " + col, edited([&](std::vector<Unit> &u) {
                             Unit table;
                             table.cards = {card("XTENSION", str("TABLE")), card("BITPIX", "8"), card("NAXIS", "2"),
                                            card("NAXIS1", "6"),          card("NAXIS2", "2"), card("PCOUNT", "0"),
                                            card("GCOUNT", "1"),          card("TFIELDS", t), card("TBCOL1", col),
                                            card("TFORM1", str("I6")),     card("TBCOL2", "4"), card("TFORM2", str("F3.1"))};
                             table.data = Bytes(12, '1');
                             u.push_back(table);
                         }),
                         {1, "extension 3: expected a BITPIX -32 image of 6 x 5 pixels, found a TABLE extension", true}});
    // A header of 30 blocks of HISTORY is a header like any other.
    v.push_back({"30 blocks of HISTORY", edited([](std::vector<Unit> &u) {
                     for (int i = 0; i < 30 * 36; i++) u[1].cards.push_back(std::string("HISTORY ").append(72, 'h'));
                 }),
                 kWhole});
    // Bytes after the last unit are named and left alone.
    for (std::size_t extra : {std::size_t(1), std::size_t(79), kBlockBytes, kBlockBytes + 80}) {
        Bytes b = whole;
        b.resize(b.size() + extra, extra % 2 ? 'x' : 0);
        v.push_back({std::to_string(extra) + " bytes after the last unit", b,
                     {0, "only units 0 to 2 are corrected; the " + std::to_string(extra) + " bytes after them", false}});
    }
    return v;
}

} // namespace

TEST(hostile, damaged_files_through_the_readers_and_tolv)
{
    TestDir dir;
    const std::vector<Variant> variants = damaged_variants();
    for (std::size_t i = 0; i < variants.size(); i++) {
        const Variant &d = variants[i];
        read_in_memory(d.bytes);
        read_on_stream(d.bytes);
        if (i % kToolStride != 0) continue;
        const Outcome o = run_tool(dir, d.bytes);
        EXPECT_EQ(expect_sound(o, d.name), d.expected.status) << d.name;
        EXPECT_EQ(o.run.err.find(d.expected.says) != std::string::npos, true) << d.name << ": " << o.run.err;
        if (d.expected.says.empty()) {
            EXPECT_EQ(o.run.err, "") << d.name;
        }
        if (d.expected.unchanged) {
            EXPECT_EQ(o.unchanged, true) << d.name;
        }
    }
}

// A mosaic whose whole units end on a page boundary, followed by a few bytes: the
// search for a unit there must not unmap the rest of the mapping, so the corrected
// pixels are synchronised and tolv succeeds.
TEST(hostile, bytes_after_units_that_end_on_a_page_boundary)
{
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    std::size_t blocks = 1;
    while (blocks * kBlockBytes % page != 0) blocks++;
    const int nx = 720, ny = int(blocks) - 2;  // a primary block, a header block, ny data blocks
    std::vector<float> sci, fr;
    for (int i = 0; i < nx * ny; i++) {
        fr.push_back(float(std::sin(0.37 * i)));
        sci.push_back(100.0f + 0.01f * float(i % nx) + 3.0f * fr.back() + float(i % 7) * 0.1f);
    }
    Bytes science = file_bytes({primary(), float_image(nx, ny, sci)});
    ASSERT_EQ(science.size() % page, 0u);
    science.resize(science.size() + 100, 'x');
    TestDir dir;
    const std::string sci_name = dir.file("science.fits"), fr_name = dir.file("fringe.fits");
    write(sci_name, science);
    write(fr_name, file_bytes({primary(), float_image(nx, ny, fr)}));

    const Mosaic m = ft_mmapmosaic(sci_name.c_str(), "r", 73);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->count, 2);
    EXPECT_EQ(msync(m->head[0]->mmap_here, std::size_t(m->head[0]->mmap_size), MS_SYNC), 0);
    EXPECT_EQ(m->head[1]->mem, FT_MEM_MMAP);
    ft_freemosaic(m);

    const ToolRun run = run_tolv({sci_name, fr_name});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "tolv: " + sci_name + ": only units 0 to 1 are corrected; the 100 bytes after them are left as they are\n");
    const Bytes after = read(sci_name);
    EXPECT_EQ(Bytes(after.end() - 100, after.end()), Bytes(100, 'x'));
}

// In memory: a unit is found only where a header of printable text opens with SIMPLE
// or XTENSION, so a header that lost its END never makes a unit of what follows it.
TEST(hostile, units_in_memory_begin_with_a_whole_text_header)
{
    Bytes b = file_bytes(science_units());
    std::memset(&b[kUnitStart[0] + 4 * 80], ' ', 3);  // the primary's END
    FITSHead h = nullptr;
    void *data = nullptr;
    void **view = nullptr;
    ASSERT_EQ(ft_indxmemdata(b.data(), int64_t(b.size()), FT_MEM_BUFFER, "", 0, &h, &data, &view), 1);
    EXPECT_EQ(h->ncard, 36 + 10);  // the primary runs on through unit 1's header
    std::free(view);
    ft_headfree(h, 0);
    EXPECT_EQ(ft_indxmemdata(b.data(), int64_t(b.size()), FT_MEM_BUFFER, "", 1, &h, &data, &view), 0);
    EXPECT_EQ(h, nullptr);
    // A NUL in a card, or a first card that is neither SIMPLE nor XTENSION.
    for (const auto &[at, byte] : {std::pair<std::size_t, unsigned char>{kUnitStart[2] + 85, 0},
                                   {kUnitStart[2], 'Y'}}) {
        Bytes c = file_bytes(science_units());
        c[at] = byte;
        EXPECT_EQ(ft_indxmemdata(c.data(), int64_t(c.size()), FT_MEM_BUFFER, "", 1, &h, &data, &view), 1);
        std::free(view);
        ft_headfree(h, 0);
        EXPECT_EQ(ft_indxmemdata(c.data(), int64_t(c.size()), FT_MEM_BUFFER, "", 2, &h, &data, &view), 0);
    }
}

// A two-block file whose header claims 2.5 GB of data made ft_dataread allocate
// all of it before finding the stream short (fuzz_stream stops on it as out of
// memory).  A seekable
// stream that cannot hold the data is now refused before anything is read or
// allocated, and stays at the data; a whole unit still reads.
TEST(hostile, data_longer_than_the_stream_is_refused_before_reading)
{
    std::string head;
    for (const char *c : {"SIMPLE  =                    T", "BITPIX  =                    8",
                          "NAXIS   =                    2", "NAXIS1  =                50000",
                          "NAXIS2  =                50000", "END"})
        head += std::string(c).append(80 - std::strlen(c), ' ');
    head.resize(kBlockBytes, ' ');
    head.append(kBlockBytes, '\1');  // one block of the data
    for (int pixtype : {0, -1, -64}) {
        FILE *f = fmemopen(head.data(), head.size(), "rb");
        FITSHead h = ft_headread(f);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(ft_dataread(f, h, nullptr, pixtype), nullptr);
        EXPECT_EQ(ftello(f), off_t(kBlockBytes));
        ft_headfree(h, 1);
        std::fclose(f);
    }
    Bytes whole = file_bytes(science_units());
    FILE *f = fmemopen(whole.data(), whole.size(), "rb");
    ft_headfree(ft_headread(f), 1);
    FITSHead h = ft_headread(f);
    void *data = ft_dataread(f, h, nullptr, -32);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(static_cast<float *>(data)[1], pixels(1, false)[1]);
    EXPECT_EQ(ftello(f), off_t(3 * kBlockBytes));
    std::free(data);
    ft_headfree(h, 1);
    std::fclose(f);
}
