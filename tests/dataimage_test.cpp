#include "fits.h"

#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace unitbytes;

namespace {

// A primary and three extensions: SCI/1, SCI/2 and sci/2 (16-bit, 3 x 2).
std::vector<Unit> four_units()
{
    std::vector<Unit> u = {primary()};
    for (int i = 0; i < 3; i++) {
        Unit e;
        e.cards = {card("XTENSION", str("IMAGE")), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "3"),
                   card("NAXIS2", "2"), card("EXTNAME", str(i == 2 ? "sci" : "SCI")),
                   card("EXTVER", std::to_string(i == 0 ? 1 : 2))};
        for (int k = 0; k < 6; k++) {
            e.data.push_back(0);
            e.data.push_back(static_cast<unsigned char>(10 * i + k));
        }
        u.push_back(e);
    }
    return u;
}

// The file's bytes in a private anonymous region, as a mapping would hold them.
struct Region {
    std::vector<unsigned char> bytes;
    void *map;
    explicit Region(const std::vector<unsigned char> &b) : bytes(b)
    {
        map = mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::memcpy(map, bytes.data(), bytes.size());
    }
    int64_t size() const { return int64_t(bytes.size()); }
    unsigned char *at(size_t off) const { return static_cast<unsigned char *>(map) + off; }
};

// First data byte of unit i in four_units().
size_t data_of(int i) { return size_t(2880 + (i - 1) * 5760 + 2880); }

} // namespace

TEST(dataimage, finds_units_by_position_and_name)
{
    const struct {
        const char *extn;
        int indx;
        int unit;
    } cases[] = {{"", 2, 2}, {"", 0, 0}, {"SCI", -1, 1}, {"SCI", 2, 2}, {"sci", 2, 3}, {"sci", -1, 3}};
    for (const auto &c : cases) {
        Region r(file_bytes(four_units()));
        FITSHead h = nullptr;
        void *data = nullptr;
        void **view = nullptr;
        ASSERT_EQ(ft_indxmemdata(r.map, r.size(), FT_MEM_MMAP, c.extn, c.indx, &h, &data, &view), 1) << c.extn << c.indx;
        if (c.unit > 0) {
            EXPECT_EQ(data, r.at(data_of(c.unit)));
            EXPECT_EQ(view[1], r.at(data_of(c.unit) + 6));
        }
        EXPECT_EQ(h->mem, FT_MEM_MMAP);
        EXPECT_EQ(h->mmap_here, r.map);
        EXPECT_EQ(h->mmap_size, r.size());
        std::free(view);
        ft_headfree(h, 1); // unmaps the region
    }
}

TEST(dataimage, failures_clear_outputs_and_never_write)
{
    const auto bytes = file_bytes(four_units());
    const struct {
        const char *extn;
        int indx;
    } cases[] = {{"", 4}, {"SCI", 3}, {"nothing", -1}, {"", 99}};
    for (const auto &c : cases) {
        auto copy = bytes;
        FITSHead h = reinterpret_cast<FITSHead>(1);
        void **view = reinterpret_cast<void **>(1);
        void *data = nullptr;
        EXPECT_EQ(ft_indxmemdata(copy.data(), int64_t(copy.size()), FT_MEM_BUFFER, c.extn, c.indx, &h, &data, &view), 0);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(view, nullptr);
        EXPECT_EQ(copy, bytes);
    }
    // Trailing zero blocks hold no END: asking for a unit there fails, untouched.
    auto padded = bytes;
    padded.resize(bytes.size() + 2880, 0);
    const auto before = padded;
    FITSHead h;
    EXPECT_EQ(ft_indxmemdata(padded.data(), int64_t(padded.size()), FT_MEM_BUFFER, "", 4, &h, nullptr, nullptr), 0);
    EXPECT_EQ(padded, before);
}

TEST(dataimage, data_must_lie_inside_the_region)
{
    const auto bytes = file_bytes(four_units());
    // The last unit's data cut short by one byte: not a unit.  Its padding cut short: fine.
    const size_t last = data_of(3);
    FITSHead h;
    std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + long(last + 11));
    EXPECT_EQ(ft_indxmemdata(cut.data(), int64_t(cut.size()), FT_MEM_BUFFER, "", 3, &h, nullptr, nullptr), 0);
    std::vector<unsigned char> whole(bytes.begin(), bytes.begin() + long(last + 12));
    void *data;
    ASSERT_EQ(ft_indxmemdata(whole.data(), int64_t(whole.size()), FT_MEM_BUFFER, "", 3, &h, &data, nullptr), 1);
    EXPECT_EQ(data, whole.data() + last);
    ft_headfree(h, 1);
}

TEST(dataimage, without_headptr_the_region_stays)
{
    Region r(file_bytes(four_units()));
    void *data = nullptr;
    void **view = nullptr;
    ASSERT_EQ(ft_indxmemdata(r.map, r.size(), FT_MEM_MMAP, "SCI", 2, nullptr, &data, &view), 1);
    EXPECT_EQ(static_cast<unsigned char *>(data)[1], 10); // still mapped
    EXPECT_EQ(static_cast<unsigned char *>(view[1])[1], 13);
    std::free(view);
    munmap(r.map, r.bytes.size());
}

TEST(dataimage, a_one_axis_unit_has_a_view_without_rows)
{
    std::vector<Unit> u = {primary()};
    Unit e;
    e.cards = {card("XTENSION", str("IMAGE")), card("BITPIX", "8"), card("NAXIS", "1"), card("NAXIS1", "5")};
    e.data = {1, 2, 3, 4, 5};
    u.push_back(e);
    auto bytes = file_bytes(u);
    FITSHead h;
    void *data;
    void **view = nullptr;
    ASSERT_EQ(ft_indxmemdata(bytes.data(), int64_t(bytes.size()), FT_MEM_BUFFER, "", 1, &h, &data, &view), 1);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], data);
    std::free(view);
    ft_headfree(h, 1);
}

TEST(dataimage, maps_a_file_read_only_at_its_selected_unit)
{
    char path[] = "/tmp/tolv_dataimage_XXXXXX";
    close(mkstemp(path));
    write(path, file_bytes(four_units()));
    FITSHead h;
    void *data;
    void **view;
    ASSERT_EQ(ft_simpleimagemmap((std::string(path) + "[sci,2]").c_str(), &h, &data, &view, PROT_READ, MAP_SHARED), 1);
    EXPECT_EQ(static_cast<unsigned char *>(data) - reinterpret_cast<unsigned char *>(h->mmap_here), long(data_of(3)));
    EXPECT_EQ(static_cast<unsigned char *>(data)[0], 0); // big-endian 20
    EXPECT_EQ(static_cast<unsigned char *>(data)[1], 20);
    std::free(view);
    ft_headfree(h, 1);
    EXPECT_EQ(ft_simpleimagemmap((std::string(path) + "[4]").c_str(), &h, &data, &view, PROT_READ, MAP_SHARED), 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(view, nullptr);
    unlink(path);
}

TEST(dataimage, attaches_a_shared_memory_segment)
{
    const auto bytes = file_bytes(four_units());
    const key_t key = key_t(0x70000000 | (getpid() & 0xffffff));
    const int id = shmget(key, bytes.size(), IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0);
    void *seg = shmat(id, nullptr, 0);
    std::memcpy(seg, bytes.data(), bytes.size());
    shmdt(seg);
    FITSHead h;
    void *data;
    void **view;
    // Only the first 5760 bytes (the primary and unit 1) are the file.
    const std::string name = std::to_string(key) + "[size=5760]";
    ASSERT_EQ(ft_simpleimageshm((name).c_str(), &h, &data, &view, 0, 0), 1);
    EXPECT_EQ(h->mem, FT_MEM_SHM);
    EXPECT_EQ(h->mmap_size, 5760);
    std::free(view);
    ft_headfree(h, 1); // detaches
    EXPECT_EQ(ft_simpleimageshm((std::to_string(key) + "[1,size=5760]").c_str(), &h, &data, &view, 0, 0), 0);
    ASSERT_EQ(ft_simpleimageshm((std::to_string(key) + "[SCI,2]").c_str(), &h, &data, &view, 0, 0), 1);
    EXPECT_EQ(static_cast<unsigned char *>(data)[1], 10);
    std::free(view);
    ft_headfree(h, 1);
    shmctl(id, IPC_RMID, nullptr);
}

namespace {

std::string text_card(std::string text)
{
    text.resize(80, ' ');
    return text;
}

// A primary and two float images; the first extension's header holds commentary
// cards of every kind and value cards.
std::vector<Unit> commented_units()
{
    std::vector<float> px;
    for (int i = 0; i < 30; i++) px.push_back(float(i) * -1.5f + 0.25f);
    std::vector<Unit> u = {primary(), float_image(6, 5, px), float_image(5, 6, px, {card("EXTNAME", str("LAST"))})};
    u[1].cards.push_back(text_card("COMMENT   an indented comment"));
    u[1].cards.push_back(text_card("HISTORY   a step of the reduction"));
    u[1].cards.push_back(text_card("          a note under a blank keyword"));
    u[1].cards.push_back(text_card("REMARK    text without a value indicator"));
    u[1].cards.push_back(card("OBJECT", str("M31 field")));
    u[1].cards.push_back(card("EXPTIME", "300"));
    return u;
}

// The first column (1-based) of the card at `at` that may hold any byte: 9 for
// COMMENT, HISTORY and the blank keyword, 10 for a card without "=" in column 9,
// none (81) for a value card.
int free_from(const std::vector<unsigned char> &b, size_t at)
{
    const std::string key(b.begin() + long(at), b.begin() + long(at) + 8);
    if (key == "COMMENT " || key == "HISTORY " || key == "        ") return 9;
    return b[at + 8] == '=' ? 81 : 10;
}

// The last unit's header cards and data as the stream reader finds them, or empty.
std::string by_stream(std::vector<unsigned char> bytes)
{
    FILE *stream = fmemopen(bytes.data(), bytes.size(), "r");
    FITSHead h = nullptr;
    File file = ft_fitsheadread(stream, "mem[2]", &h, "r");
    if (!file) return "";
    std::string out(reinterpret_cast<const char *>(h->cards), size_t(h->ncard) * 80);
    void *data = ft_dataread(file, h, nullptr, 0);
    if (data) out.append(static_cast<const char *>(data), size_t(h->basic->databytes));
    std::free(data);
    ft_headfree(h, 1);
    std::fclose(file);
    return out;
}

// The same as the mapping walk finds it, or empty.
std::string by_mapping(std::vector<unsigned char> bytes)
{
    FITSHead h = nullptr;
    void *data = nullptr;
    if (!ft_indxmemdata(bytes.data(), int64_t(bytes.size()), FT_MEM_BUFFER, "", 2, &h, &data, nullptr)) return "";
    std::string out(reinterpret_cast<const char *>(h->cards), size_t(h->ncard) * 80);
    out.append(static_cast<const char *>(data), size_t(h->basic->databytes));
    ft_headfree(h, 0);
    return out;
}

} // namespace

// Commentary text may hold any byte, a TAB above all, on the mapping as on a stream:
// every byte of a set in every column of every card of the first extension's header
// gives the mapping walk the unit after it exactly when the stream reader finds it,
// and the same cards and data; keywords, value indicators and values stay printable.
TEST(dataimage, commentary_text_may_hold_any_byte_as_on_a_stream)
{
    const std::vector<unsigned char> whole = file_bytes(commented_units());
    const std::string expected = by_stream(whole);
    ASSERT_NE(expected, "");
    EXPECT_EQ(by_mapping(whole), expected);
    int taken = 0, refused = 0;
    // The cards of the first extension: 7 of its layout, then the 6 above.
    for (size_t at = 2880; at < 2880 + 13 * 80; at += 80) {
        const int free_column = free_from(whole, at);
        for (int column = 1; column <= 80; column++)
            for (unsigned char byte : {0x09, 0x00, 0x0A, 0x1B, 0x7F, 0x80, 0xFF}) {
                std::vector<unsigned char> b = whole;
                b[at + size_t(column) - 1] = byte;
                const std::string mapped = by_mapping(b);
                SCOPED_TRACE("card " + std::to_string((at - 2880) / 80 + 1) + " column " + std::to_string(column) +
                             " byte " + std::to_string(byte));
                EXPECT_EQ(mapped.empty(), column < free_column);
                // Where the mapping takes the unit, the stream reader finds the same.
                if (!mapped.empty()) {
                    EXPECT_EQ(mapped == expected, true);
                    EXPECT_EQ(by_stream(b) == expected, true);
                }
                (mapped.empty() ? refused : taken)++;
            }
    }
    EXPECT_EQ(taken, 7 * (72 + 72 + 72 + 71));
    EXPECT_EQ(refused, 7 * 13 * 80 - taken);
    // A header with a TAB in its commentary that lost its END runs on into its float
    // data: the walk does not take it, nor any unit after it.
    std::vector<unsigned char> b = whole;
    b[2880 + 7 * 80 + 10] = '\t';
    for (size_t at = 2880; at < 5760; at += 80)
        if (std::memcmp(&b[at], "END     ", 8) == 0) std::memset(&b[at], ' ', 3);
    FITSHead h = nullptr;
    void *data = nullptr;
    EXPECT_EQ(ft_indxmemdata(b.data(), int64_t(b.size()), FT_MEM_BUFFER, "", 1, &h, &data, nullptr), 0);
    EXPECT_EQ(ft_indxmemdata(b.data(), int64_t(b.size()), FT_MEM_BUFFER, "LAST", -1, &h, &data, nullptr), 0);
    EXPECT_EQ(h, nullptr);
}
