// unit_problem against the library's own walk (ft_indxmemdata) over damaged mosaics,
// its exact reasons for the common faults, and bytes that end at an unreadable page.
#include "unit_check.h"

#include "fits.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using unitbytes::card;
using unitbytes::Unit;

// Whether the library's walk takes the unit at the start of the n bytes at p.  No
// row view is asked for: it does not change the verdict, and its element size is
// taken with std::abs(BITPIX), which overflows for BITPIX -2147483648.
bool library_takes(const unsigned char *p, int64_t n)
{
    FITSHead h = nullptr;
    void *data = nullptr;
    const int found = ft_indxmemdata(const_cast<unsigned char *>(p), n, FT_MEM_BUFFER, "", 0, &h, &data, nullptr);
    ft_headfree(h, 0);
    return found == 1;
}

// The reason for b[from..to), read from an exact-size copy so that the sanitizer
// sees any read past its end.
std::string reason(const Bytes &b, std::size_t from, std::size_t to, bool *library = nullptr)
{
    const std::size_t n = to - from;
    std::unique_ptr<unsigned char[]> copy(new unsigned char[n]);
    if (n) std::memcpy(copy.get(), b.data() + from, n);
    if (library) *library = library_takes(copy.get(), int64_t(n));
    return unit_problem(copy.get(), int64_t(n));
}

// The shapes of the reasons: '#' stands for a run of digits, '^' for one upper-case
// hexadecimal digit, '*' for any text that is not empty.
bool has_shape(std::string_view text, std::string_view shape)
{
    if (shape.empty()) return text.empty();
    if (shape[0] == '#') {
        std::size_t n = 0;
        while (n < text.size() && text[n] >= '0' && text[n] <= '9') n++;
        return n > 0 && has_shape(text.substr(n), shape.substr(1));
    }
    if (shape[0] == '*') {
        for (std::size_t n = 1; n <= text.size(); n++)
            if (has_shape(text.substr(n), shape.substr(1))) return true;
        return false;
    }
    if (text.empty()) return false;
    const bool hex = (text[0] >= '0' && text[0] <= '9') || (text[0] >= 'A' && text[0] <= 'F');
    return (shape[0] == '^' ? hex : text[0] == shape[0]) && has_shape(text.substr(1), shape.substr(1));
}

using Shapes = std::vector<std::string_view>;

bool has_one_of(const std::string &text, const Shapes &shapes)
{
    for (std::string_view shape : shapes)
        if (has_shape(text, shape)) return true;
    return false;
}

constexpr std::string_view kHeaderCut = "the file ends inside its header (truncated: # bytes of a 2880-byte block)";
constexpr std::string_view kEndCut = "the file ends inside its header (truncated)";
constexpr std::string_view kNoStart = "it does not begin with SIMPLE or XTENSION";
constexpr std::string_view kUnprintable = "card # of its header holds a byte that is not printable ASCII (0x^^)";
constexpr std::string_view kNoEnd = "its header has no END card";
const Shapes kBadCount = {"NAXIS * is not valid", "NAXIS# * is not valid", "PCOUNT * is not valid",
                          "GCOUNT * is not valid", "NAXIS *: more than 10 axes are not supported"};
constexpr std::string_view kTooBig = "its data size does not fit in 64 bits";
constexpr std::string_view kDataCut = "the file ends inside its data (truncated: # data bytes needed, # available)";

std::vector<float> ramp(int n)
{
    std::vector<float> v;
    for (int i = 0; i < n; i++) v.push_back(float(i) * 0.5f - 3.0f);
    return v;
}

std::vector<std::string> notes(int n)
{
    std::vector<std::string> cards;
    for (int i = 0; i < n; i++) cards.push_back(card("NOTE" + std::to_string(i), std::to_string(i)));
    return cards;
}

// A primary unit and three extensions: a two-block header, a byte image whose data
// fill one block with printable text, and a header of exactly one block of cards.
struct Sample {
    Bytes bytes;
    std::vector<std::size_t> starts;  // each unit's first byte, then the file size
};

Sample sample_mosaic()
{
    Unit text;
    text.cards = {card("XTENSION", unitbytes::str("IMAGE")), card("BITPIX", "8"), card("NAXIS", "2"),
                  card("NAXIS1", "96"), card("NAXIS2", "30"), card("PCOUNT", "0"), card("GCOUNT", "1")};
    for (int i = 0; i < 2880; i++) text.data.push_back(static_cast<unsigned char>('A' + i % 26));
    const std::vector<Unit> units = {unitbytes::primary(), unitbytes::float_image(5, 4, ramp(20), notes(30)), text,
                                     unitbytes::float_image(30, 25, ramp(750), notes(28))};
    Sample s;
    for (const Unit &u : units) {
        s.starts.push_back(s.bytes.size());
        const Bytes b = unitbytes::unit_bytes(u);
        s.bytes.insert(s.bytes.end(), b.begin(), b.end());
    }
    s.starts.push_back(s.bytes.size());
    return s;
}

// Offset of the card with keyword key in the header starting at `from`, or 0 when absent.
std::size_t card_at(const Bytes &b, std::size_t from, const std::string &key)
{
    const std::string k = (key + "        ").substr(0, 8);
    for (std::size_t at = from; at + 80 <= b.size() && std::memcmp(&b[at], "END     ", 8) != 0; at += 80)
        if (std::memcmp(&b[at], k.data(), 8) == 0) return at;
    return 0;
}

// Offset of the END card of the header starting at `from`.
std::size_t end_at(const Bytes &b, std::size_t from)
{
    while (std::memcmp(&b[from], "END     ", 8) != 0) from += 80;
    return from;
}

void put(Bytes &b, std::size_t at, const std::string &text) { std::memcpy(&b[at], text.data(), text.size()); }

std::string blank_card() { return std::string(80, ' '); }

} // namespace

TEST(unit_check, agrees_with_the_library_on_damaged_mosaics)
{
    const Sample s = sample_mosaic();
    const std::size_t units = s.starts.size() - 1;
    int accepted = 0, refused = 0;
    // One damaged region: the walk takes the unit exactly when no reason is given,
    // and a reason has one of the shapes the damage can cause.
    auto check = [&](const Bytes &b, std::size_t from, std::size_t to, const Shapes &shapes,
                     const std::string &what) {
        bool library = false;
        const std::string why = reason(b, from, to, &library);
        EXPECT_EQ(why.empty(), library) << what << " [" << from << ", " << to << "): " << why;
        if (!why.empty()) {
            EXPECT_EQ(has_one_of(why, shapes), true) << what << ": " << why;
        }
        (why.empty() ? accepted : refused)++;
    };

    for (std::size_t u = 0; u < units; u++) EXPECT_EQ(reason(s.bytes, s.starts[u], s.bytes.size()), "");

    // Every cut at a card boundary and on both sides of every block boundary.
    const Shapes cut = {kHeaderCut, kEndCut, kDataCut};
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= s.bytes.size(); n += 80) lengths.push_back(n);
    for (std::size_t n = 2880; n < s.bytes.size(); n += 2880) lengths.insert(lengths.end(), {n - 1, n + 1});
    for (std::size_t n : lengths)
        for (std::size_t u = 0; u < units && s.starts[u] <= n; u++) check(s.bytes, s.starts[u], n, cut, "cut");

    // Each count keyword set to values no data unit has, or to none at all; the file
    // read to its end and to the end of the damaged unit.
    Shapes count = kBadCount;
    count.insert(count.end(), {kTooBig, kDataCut});
    const char *values[] = {"-1", "0", "1", "11", "1000", "2147483647", "-2147483648", "99999999999999999999",
                            "-99999999999999999999", "'junk'", "junk", "1.5E3", "0x7FFFFFFF"};
    for (const char *key : {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT", "GCOUNT"}) {
        for (std::size_t u = 0; u < units; u++) {
            const std::size_t at = card_at(s.bytes, s.starts[u], key);
            if (at == 0) continue;
            std::vector<std::string> cards = {card("COMMENT", "'removed'")};
            for (const char *v : values) cards.push_back(card(key, v));
            for (const std::string &c : cards) {
                Bytes b = s.bytes;
                put(b, at, c);
                check(b, s.starts[u], b.size(), count, c);
                check(b, s.starts[u], s.starts[u + 1], count, c);
            }
        }
    }

    // END blanked, the file cut at every card: the header runs on into the data or
    // into the next unit's header, where the walk may find an END of another unit.
    const Shapes no_end = {kNoEnd, kEndCut};
    for (std::size_t u = 0; u < units; u++) {
        Bytes b = s.bytes;
        put(b, end_at(b, s.starts[u]), blank_card());
        for (std::size_t n = s.starts[u] + 2880; n <= b.size(); n += 80) check(b, s.starts[u], n, no_end, "END blanked");
    }

    // A byte that is not printable ASCII in the first card, in the middle of the
    // header, in the END card, just after END, and in the data.
    const Shapes bad_byte = {kUnprintable, kNoEnd, kNoStart};
    for (std::size_t u = 0; u < units; u++) {
        const std::size_t end = end_at(s.bytes, s.starts[u]);
        const std::size_t header = (end + 80 + 2879) / 2880 * 2880;
        const std::size_t places[] = {s.starts[u], s.starts[u] + 20, s.starts[u] + 80 + 79, end - 40,
                                      end + 10, end + 80, header};
        for (std::size_t at : places)
            for (unsigned char byte : {0x00, 0x09, 0x1F, 0x7F, 0x80, 0xC9, 0xFF}) {
                Bytes b = s.bytes;
                b[at] = byte;
                check(b, s.starts[u], b.size(), bad_byte, "byte " + std::to_string(byte));
            }
    }

    // The first card replaced.
    const Shapes start = {kNoStart};
    for (std::size_t u = 0; u < units; u++)
        for (const std::string &first :
             {card("XTENSIOM", unitbytes::str("IMAGE")), card("xtension", unitbytes::str("IMAGE")),
              card("SIMPLE", "T"), std::string("XTENSION 'IMAGE'").append(64, ' '), card("XTENSION", "T"),
              blank_card(), std::string("END").append(77, ' ')}) {
            Bytes b = s.bytes;
            put(b, s.starts[u], first);
            check(b, s.starts[u], b.size(), start, first);
        }

    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 500);
}

namespace {

// An IMAGE extension of BITPIX -32 whose keyword values are given as written.
Unit image(const std::string &naxis1, const std::string &naxis2, std::vector<std::string> extra = {},
           const std::string &gcount = "1", std::size_t data_bytes = 0)
{
    Unit u;
    u.cards = {card("XTENSION", unitbytes::str("IMAGE")), card("BITPIX", "-32"), card("NAXIS", "2"),
               card("NAXIS1", naxis1), card("NAXIS2", naxis2), card("PCOUNT", "0"), card("GCOUNT", gcount)};
    u.cards.insert(u.cards.end(), extra.begin(), extra.end());
    u.data.assign(data_bytes, 0x40);
    return u;
}

Bytes bytes_of(const Unit &u) { return unitbytes::unit_bytes(u); }

// The unit with the card of keyword key rewritten to value.
Bytes with(const Unit &u, const std::string &key, const std::string &value)
{
    Bytes b = bytes_of(u);
    put(b, card_at(b, 0, key), card(key, value));
    return b;
}

} // namespace

TEST(unit_check, names_each_fault)
{
    const Unit plain = image("4", "4", {}, "1", 64);
    const Unit two_blocks = image("30", "25", notes(30), "1", 3000);  // END is card 38

    // END lost in extension 2 of 4: the header runs on into its float data.
    std::vector<Unit> units = {unitbytes::primary()};
    for (int i = 0; i < 4; i++) units.push_back(unitbytes::float_image(4, 4, ramp(16)));
    Bytes mosaic = unitbytes::file_bytes(units);
    const std::size_t ext2 = 2880 + 5760;
    put(mosaic, end_at(mosaic, ext2), blank_card());
    EXPECT_EQ(reason(mosaic, ext2, mosaic.size()), "its header has no END card");

    // END lost before a unit of printable data and the next header: the walk's END
    // is the next unit's, and that unit's data is cut short.
    Sample s = sample_mosaic();
    put(s.bytes, end_at(s.bytes, s.starts[2]), blank_card());
    EXPECT_EQ(reason(s.bytes, s.starts[2], s.starts[3] + 2880 + 100), "its header has no END card");

    Bytes bad_xtension = bytes_of(plain);
    bad_xtension[13] = 0xC9;  // XTENSION= 'IM?GE'
    Bytes no_start = bytes_of(plain);
    put(no_start, 0, card("COMMENT", "'not a header'"));
    Bytes tab_in_block_2 = bytes_of(two_blocks);
    tab_in_block_2[2880 + 30] = '\t';  // card 37, in the block that holds END

    struct Case {
        Bytes bytes;
        std::size_t length;  // bytes of it given
        std::string expected;
    };
    const std::size_t all = std::size_t(-1);
    const Case cases[] = {
        {with(plain, "NAXIS2", "-1"), all, "NAXIS2 -1 is not valid"},
        {with(plain, "NAXIS2", "-2147483648"), all, "NAXIS2 -2147483648 is not valid"},
        {with(plain, "NAXIS1", "-99999999999999999999"), all, "NAXIS1 -99999999999999999999 is not valid"},
        {with(plain, "NAXIS", "-1"), all, "NAXIS -1 is not valid"},
        {with(plain, "NAXIS", "11"), all, "NAXIS 11: more than 10 axes are not supported"},
        {with(plain, "NAXIS", "1000"), all, "NAXIS 1000 is not valid"},
        {with(plain, "GCOUNT", "-1"), all, "GCOUNT -1 is not valid"},
        {with(plain, "PCOUNT", "-5"), all, "PCOUNT -5 is not valid"},
        {with(plain, "GCOUNT", "0"), all, ""},  // no groups: no data, as the library counts
        {bytes_of(image("10", "2147483647", {}, "1", 2880)), all,
         "the file ends inside its data (truncated: 85899345880 data bytes needed, 2880 available)"},
        {bytes_of(image("65536", "65537", {}, "1", 16)), all,
         "the file ends inside its data (truncated: 17180131328 data bytes needed, 2880 available)"},
        {with(unitbytes::primary({card("NAXIS1", "2147483647"), card("NAXIS2", "2147483647"), card("NAXIS3", "4")}),
              "NAXIS", "3"),
         all, "its data size does not fit in 64 bits"},  // one group when GCOUNT is absent
        {bad_xtension, all, "card 1 of its header holds a byte that is not printable ASCII (0xC9)"},
        {tab_in_block_2, all, "card 37 of its header holds a byte that is not printable ASCII (0x09)"},
        {no_start, all, "it does not begin with SIMPLE or XTENSION"},
        {bytes_of(plain), 1000, "the file ends inside its header (truncated: 1000 bytes of a 2880-byte block)"},
        {bytes_of(plain), 0, "the file ends inside its header (truncated: 0 bytes of a 2880-byte block)"},
        {bytes_of(two_blocks), 2880 + 80, "the file ends inside its header (truncated)"},  // just before END
        {bytes_of(two_blocks), 2880 + 400, "the file ends inside its header (truncated: 400 bytes of a 2880-byte block)"},
        {bytes_of(two_blocks), 5760 + 2880, "the file ends inside its data (truncated: 3000 data bytes needed, 2880 available)"},
        {bytes_of(two_blocks), 5760 + 3000, ""},  // the padding of the last block may be missing
    };
    for (const Case &c : cases) {
        bool library = false;
        EXPECT_EQ(reason(c.bytes, 0, c.length == all ? c.bytes.size() : c.length, &library), c.expected);
        EXPECT_EQ(library, c.expected.empty()) << c.expected;
    }

    // Groups and parameters: the data size reported is the one the walk requires,
    // one byte less is refused and exactly that many is taken.
    Unit table = image("10", "3", {}, "2");
    table.cards[1] = card("BITPIX", "8");
    table.cards[5] = card("PCOUNT", "100");
    Unit groups = unitbytes::primary();
    groups.cards = {card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "3"), card("NAXIS1", "0"),
                    card("NAXIS2", "3"), card("NAXIS3", "2"), card("GROUPS", "T"), card("PCOUNT", "2"),
                    card("GCOUNT", "5")};
    for (const Unit &u : {table, groups}) {
        Bytes b = bytes_of(u);
        FITSHead h = ft_headinit(b.data(), 2880);
        ASSERT_NE(h->basic, nullptr);
        const int64_t needed = h->basic->databytes;
        ft_headfree(h, 0);
        b.resize(2880 + std::size_t(needed), 0);
        EXPECT_EQ(reason(b, 0, b.size() - 1), "the file ends inside its data (truncated: " +
                                                  std::to_string(needed) + " data bytes needed, " +
                                                  std::to_string(needed - 1) + " available)");
        EXPECT_EQ(reason(b, 0, b.size()), "");
    }

    const auto text = [](const char *s) { return reinterpret_cast<const unsigned char *>(s); };
    EXPECT_EQ(begins_a_header(text("SIMPLE  =                    T"), 30), true);
    EXPECT_EQ(begins_a_header(text("XTENSION= 'IMAGE   '"), 9), true);
    EXPECT_EQ(begins_a_header(text("XTENSION="), 8), false);
    EXPECT_EQ(begins_a_header(text("XTENSION 'IMAGE   '"), 19), false);
    EXPECT_EQ(begins_a_header(text("SIMPLE   = T"), 12), false);
    EXPECT_EQ(begins_a_header(text("xtension= 'IMAGE   '"), 20), false);
}

// The bytes end where an unreadable page begins: every cut of a unit and of a header
// that never reaches END is read without a fault.
TEST(unit_check, reads_nothing_past_the_bytes)
{
    const Bytes unit = unitbytes::unit_bytes(unitbytes::float_image(5, 4, ramp(20), notes(30)));
    Bytes endless = unit;
    endless.resize(5760);
    for (std::size_t at = 2880; at < endless.size(); at += 80) put(endless, at, card("NOTE", "1"));

    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const std::size_t room = (unit.size() + page - 1) / page * page;
    void *map = mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char *>(map) + room, page, PROT_NONE), 0);
    unsigned char *guard = static_cast<unsigned char *>(map) + room;

    int taken = 0;
    for (const Bytes *source : std::initializer_list<const Bytes *>{&unit, &endless})
        for (std::size_t n = 0; n <= source->size(); n++) {
            unsigned char *p = guard - n;
            std::memcpy(p, source->data(), n);
            const std::string why = unit_problem(p, int64_t(n));
            EXPECT_EQ(why.empty(), library_takes(p, int64_t(n))) << n << ": " << why;
            taken += why.empty();
        }
    // The unit is whole from the end of its data on: the last 2880 - 80 bytes of
    // padding may be missing.
    EXPECT_EQ(taken, 2880 - 80 + 1);

    const char *xtension = "XTENSION=";
    for (std::size_t n = 0; n <= 9; n++) {
        std::memcpy(guard - n, xtension, n);
        EXPECT_EQ(begins_a_header(guard - n, int64_t(n)), n == 9);
    }
    munmap(map, room + page);
}
