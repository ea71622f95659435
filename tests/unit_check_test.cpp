// unit_problem against the library's own walk (ft_indxmemdata): damaged mosaics, the
// exact reasons for common faults, and bytes that end at an unreadable page.
#include "unit_check.h"

#include "fits.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Shapes = std::initializer_list<std::string_view>;
using unitbytes::card;

// No row view is asked for: it does not change the verdict, and the library takes
// its element size as std::abs(BITPIX), which overflows for BITPIX -2147483648.
bool library_takes(const unsigned char *p, int64_t n)
{
    FITSHead h = nullptr;
    void *data = nullptr;
    const int found = ft_indxmemdata(const_cast<unsigned char *>(p), n, FT_MEM_BUFFER, "", 0, &h, &data, nullptr);
    ft_headfree(h, 0);
    return found == 1;
}

// The reason for b[from..to), from an exact-size copy so that the sanitizer sees any
// read past its end; *library gets the walk's verdict on the same bytes.
std::string reason(const Bytes &b, std::size_t from, std::size_t to, bool *library = nullptr)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[to - from]);
    if (to > from) std::memcpy(copy.get(), &b[from], to - from);
    if (library) *library = library_takes(copy.get(), int64_t(to - from));
    return unit_problem(copy.get(), int64_t(to - from));
}

// Whether text has the shape, in which '*' stands for any text that is not empty.
bool has_shape(std::string_view text, std::string_view shape)
{
    if (shape.empty() || shape[0] != '*')
        return shape.empty() ? text.empty()
                             : !text.empty() && text[0] == shape[0] && has_shape(text.substr(1), shape.substr(1));
    for (std::size_t n = 1; n <= text.size(); n++)
        if (has_shape(text.substr(n), shape.substr(1))) return true;
    return false;
}

constexpr std::string_view kBlockCut = "the file ends inside its header (truncated: * bytes of a 2880-byte block)";
constexpr std::string_view kEndCut = "the file ends inside its header (truncated)";
constexpr std::string_view kNoStart = "it does not begin with SIMPLE or XTENSION";
constexpr std::string_view kUnprintable = "card * of its header holds a byte that is not printable ASCII (0x*)";
constexpr std::string_view kNoEnd = "its header has no END card";
constexpr std::string_view kDataCut = "the file ends inside its data (truncated: * data bytes needed, * available)";

std::vector<float> ramp(int n)
{
    std::vector<float> v;
    for (int i = 0; i < n; i++) v.push_back(float(i) * 0.5f - 3.0f);
    return v;
}

std::vector<std::string> notes(int n)
{
    std::vector<std::string> cards;
    for (int i = 0; i < n; i++) cards.push_back(card("NOTE" + std::to_string(i), "1"));
    return cards;
}

// A primary unit and three extensions: a header of two blocks, a byte image whose
// data fill a block with printable text, a header of exactly one block.
struct Sample {
    Bytes bytes;
    std::vector<std::size_t> starts;  // each unit's first byte, then the file size
};

Sample sample_mosaic()
{
    unitbytes::Unit text;
    text.cards = {card("XTENSION", unitbytes::str("IMAGE")), card("BITPIX", "8"), card("NAXIS", "2"),
                  card("NAXIS1", "96"), card("NAXIS2", "30"), card("PCOUNT", "0"), card("GCOUNT", "1")};
    for (int i = 0; i < 2880; i++) text.data.push_back(static_cast<unsigned char>('A' + i % 26));
    Sample s;
    for (const auto &u : {unitbytes::primary(), unitbytes::float_image(5, 4, ramp(20), notes(30)), text,
                          unitbytes::float_image(30, 25, ramp(750), notes(28))}) {
        s.starts.push_back(s.bytes.size());
        const Bytes b = unitbytes::unit_bytes(u);
        s.bytes.insert(s.bytes.end(), b.begin(), b.end());
    }
    s.starts.push_back(s.bytes.size());
    return s;
}

// Offset of the card with keyword key (END when key is "END") in the header at
// `from`, or 0 when it has none.
std::size_t card_at(const Bytes &b, std::size_t from, const std::string &key)
{
    const std::string k = (key + "        ").substr(0, 8);
    for (std::size_t at = from; at + 80 <= b.size(); at += 80) {
        if (std::memcmp(&b[at], k.data(), 8) == 0) return at;
        if (std::memcmp(&b[at], "END     ", 8) == 0) break;
    }
    return 0;
}

Bytes put(Bytes b, std::size_t at, const std::string &text)
{
    std::memcpy(&b[at], text.data(), text.size());
    return b;
}

const std::string kBlankCard(80, ' ');

} // namespace

TEST(unit_check, agrees_with_the_library_on_damaged_mosaics)
{
    const Sample s = sample_mosaic();
    int taken = 0, refused = 0;
    // The walk takes the unit at `from` exactly when no reason is given, and a reason
    // has one of the shapes this damage can cause.
    auto check = [&](const Bytes &b, std::size_t from, std::size_t to, Shapes shapes) {
        bool library = false;
        const std::string why = reason(b, from, to, &library);
        EXPECT_EQ(why.empty(), library) << "[" << from << ", " << to << "): " << why;
        bool shaped = why.empty();
        for (std::string_view shape : shapes) shaped = shaped || has_shape(why, shape);
        EXPECT_EQ(shaped, true) << why;
        (why.empty() ? taken : refused)++;
    };
    const std::size_t units = s.starts.size() - 1;
    for (std::size_t u = 0; u < units; u++) EXPECT_EQ(reason(s.bytes, s.starts[u], s.bytes.size()), "");

    // Cut at every card and on both sides of every block boundary.
    for (std::size_t n = 0; n <= s.bytes.size(); n++)
        if (n % 80 == 0 || n % 2880 == 1 || n % 2880 == 2879)
            for (std::size_t u = 0; u < units && s.starts[u] <= n; u++)
                check(s.bytes, s.starts[u], n, {kBlockCut, kEndCut, kDataCut});

    // Count keywords set to values no data unit has, or removed; read to the end of
    // the file and to the end of the damaged unit.
    for (const char *key : {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT", "GCOUNT"})
        for (std::size_t u = 0; u < units; u++)
            for (const char *v : {"-1", "0", "1", "11", "1000", "2147483647", "-2147483648", "99999999999999999999",
                                  "-99999999999999999999", "'junk'", "junk", "1.5E3", "0x7FFFFFFF", ""}) {
                if (!card_at(s.bytes, s.starts[u], key)) continue;
                const std::string damaged = *v ? card(key, v) : card("COMMENT", "1");
                const Bytes b = put(s.bytes, card_at(s.bytes, s.starts[u], key), damaged);
                for (std::size_t to : {b.size(), s.starts[u + 1]})
                    check(b, s.starts[u], to,
                          {"NAXIS * is not valid", "NAXIS* * is not valid", "PCOUNT * is not valid",
                           "GCOUNT * is not valid", "NAXIS *: more than 10 axes are not supported",
                           "its data size does not fit in 64 bits", kDataCut});
            }

    // END blanked, the file cut at every card after the first block: the header runs
    // into its data or into the next header, whose END the walk may then take.
    for (std::size_t u = 0; u < units; u++) {
        const Bytes b = put(s.bytes, card_at(s.bytes, s.starts[u], "END"), kBlankCard);
        for (std::size_t n = s.starts[u] + 2880; n <= b.size(); n += 80) check(b, s.starts[u], n, {kNoEnd, kEndCut});
    }

    // A byte that is not printable ASCII in the first card, the second, the last card
    // before END, END itself, just after END, and the data; the first card replaced.
    for (std::size_t u = 0; u < units; u++) {
        const std::size_t end = card_at(s.bytes, s.starts[u], "END");
        for (std::size_t at : {s.starts[u], s.starts[u] + 20, s.starts[u] + 159, end - 40, end + 10, end + 79, end + 80,
                               (end + 80 + 2879) / 2880 * 2880})
            for (unsigned char byte : {0x00, 0x09, 0x1F, 0x7F, 0x80, 0xC9, 0xFF}) {
                Bytes b = s.bytes;
                b[at] = byte;
                check(b, s.starts[u], b.size(), {kUnprintable, kNoStart});
            }
        for (const std::string &first : {card("XTENSIOM", "'IMAGE'"), card("xtension", "'IMAGE'"), card("SIMPLE", "T"),
                                         card("XTENSION", "T"), "XTENSION 'IMAGE'" + std::string(64, ' '), kBlankCard,
                                         "END" + std::string(77, ' ')})
            check(put(s.bytes, s.starts[u], first), s.starts[u], s.bytes.size(), {kNoStart});
    }
    EXPECT_GT(taken, 500);
    EXPECT_GT(refused, 1000);
}

namespace {

// A BITPIX -32 image extension with keyword values as written and `data` bytes.
Bytes image(const std::string &naxis1, const std::string &naxis2, std::size_t data,
            const std::vector<std::string> &extra = {})
{
    unitbytes::Unit u = unitbytes::float_image(0, 0, {}, extra);
    u.cards[3] = card("NAXIS1", naxis1);
    u.cards[4] = card("NAXIS2", naxis2);
    u.data.assign(data, 0x40);
    return unitbytes::unit_bytes(u);
}

// b with the card of keyword key rewritten to value.
Bytes with(const Bytes &b, const std::string &key, const std::string &value)
{
    return put(b, card_at(b, 0, key), card(key, value));
}

} // namespace

TEST(unit_check, names_each_fault)
{
    const Bytes plain = image("4", "4", 64), two_blocks = image("30", "25", 3000, notes(30));  // END: card 38
    std::vector<unitbytes::Unit> units = {unitbytes::primary()};
    for (int i = 0; i < 4; i++) units.push_back(unitbytes::float_image(4, 4, ramp(16)));
    const Bytes mosaic = unitbytes::file_bytes(units);
    const std::size_t ext2 = 2880 + 5760;
    const Sample s = sample_mosaic();
    Bytes tab = two_blocks, latin = plain;
    tab[2880 + 30] = '\t';  // card 37, in the block that holds END
    latin[13] = 0xC9;       // XTENSION= 'IM?GE'
    const std::size_t all = std::size_t(-1);
    const struct {
        Bytes bytes;
        std::size_t from, to;
        std::string expected;
    } cases[] = {
        {put(mosaic, card_at(mosaic, ext2, "END"), kBlankCard), ext2, all, "its header has no END card"},
        // Its header runs on over printable data into the next header, whose data are cut.
        {put(s.bytes, card_at(s.bytes, s.starts[2], "END"), kBlankCard), s.starts[2], s.starts[3] + 2980,
         "its header has no END card"},
        {with(plain, "NAXIS2", "-1"), 0, all, "NAXIS2 -1 is not valid"},
        {with(plain, "NAXIS1", "-99999999999999999999"), 0, all, "NAXIS1 -99999999999999999999 is not valid"},
        {with(plain, "NAXIS", "-1"), 0, all, "NAXIS -1 is not valid"},
        {with(plain, "NAXIS", "11"), 0, all, "NAXIS 11: more than 10 axes are not supported"},
        {with(plain, "NAXIS", "1000"), 0, all, "NAXIS 1000 is not valid"},
        {with(plain, "PCOUNT", "-5"), 0, all, "PCOUNT -5 is not valid"},
        {with(plain, "GCOUNT", "-1"), 0, all, "GCOUNT -1 is not valid"},
        {with(plain, "GCOUNT", "0"), 0, all, ""},  // no groups, no data, as the library counts
        {image("10", "2147483647", 2880), 0, all,
         "the file ends inside its data (truncated: 85899345880 data bytes needed, 2880 available)"},
        {image("65536", "65537", 16), 0, all,
         "the file ends inside its data (truncated: 17180131328 data bytes needed, 2880 available)"},
        {with(unitbytes::unit_bytes(unitbytes::primary(
                  {card("NAXIS1", "2147483647"), card("NAXIS2", "2147483647"), card("NAXIS3", "4")})),
              "NAXIS", "3"),
         0, all, "its data size does not fit in 64 bits"},  // one group when GCOUNT is absent
        // Random groups are sized without NAXIS1's zero, by the library's rule.
        {with(unitbytes::unit_bytes(unitbytes::primary({card("NAXIS1", "0"), card("NAXIS2", "2147483647"),
                                                        card("NAXIS3", "2147483647"), card("GROUPS", "T"),
                                                        card("GCOUNT", "2147483647")})),
              "NAXIS", "3"),
         0, all, "its data size does not fit in 64 bits"},
        {latin, 0, all, "card 1 of its header holds a byte that is not printable ASCII (0xC9)"},
        {tab, 0, all, "card 37 of its header holds a byte that is not printable ASCII (0x09)"},
        {put(plain, 0, card("COMMENT", "1")), 0, all, "it does not begin with SIMPLE or XTENSION"},
        {plain, 0, 1000, "the file ends inside its header (truncated: 1000 bytes of a 2880-byte block)"},
        {plain, 0, 0, "the file ends inside its header (truncated: 0 bytes of a 2880-byte block)"},
        {two_blocks, 0, 2880 + 80, "the file ends inside its header (truncated)"},  // just before END
        {two_blocks, 0, 2880 + 400, "the file ends inside its header (truncated: 400 bytes of a 2880-byte block)"},
        {two_blocks, 0, 5760 + 2880,
         "the file ends inside its data (truncated: 3000 data bytes needed, 2880 available)"},
        {two_blocks, 0, 5760 + 3000, ""},  // the padding of the last block may be missing
    };
    for (const auto &c : cases) {
        bool library = false;
        EXPECT_EQ(reason(c.bytes, c.from, c.to == all ? c.bytes.size() : c.to, &library), c.expected);
        EXPECT_EQ(library, c.expected.empty()) << c.expected;
    }

    // With PCOUNT and GCOUNT, and random groups (NAXIS1 = 0): the data size reported
    // is the walk's, one byte short is refused and exactly that many are taken.
    for (const Bytes &head : {with(with(with(image("10", "3", 0), "BITPIX", "8"), "PCOUNT", "100"), "GCOUNT", "2"),
                              with(with(unitbytes::unit_bytes(unitbytes::primary(
                                            {card("NAXIS1", "0"), card("NAXIS2", "3"), card("NAXIS3", "2"),
                                             card("GROUPS", "T"), card("PCOUNT", "2"), card("GCOUNT", "5")})),
                                        "BITPIX", "16"),
                                   "NAXIS", "3")}) {
        Bytes b = head;
        FITSHead h = ft_headinit(b.data(), 2880);
        ASSERT_NE(h->basic, nullptr);
        const int64_t needed = h->basic->databytes;
        ft_headfree(h, 0);
        b.resize(2880 + std::size_t(needed));
        EXPECT_EQ(reason(b, 0, b.size() - 1), "the file ends inside its data (truncated: " + std::to_string(needed) +
                                                  " data bytes needed, " + std::to_string(needed - 1) + " available)");
        EXPECT_EQ(reason(b, 0, b.size()), "");
    }

    const auto bytes = [](const char *text) { return reinterpret_cast<const unsigned char *>(text); };
    EXPECT_EQ(begins_a_header(bytes("SIMPLE  =                    T"), 30), true);
    EXPECT_EQ(begins_a_header(bytes("XTENSION= 'IMAGE   '"), 9), true);
    EXPECT_EQ(begins_a_header(bytes("XTENSION="), 8), false);
    EXPECT_EQ(begins_a_header(bytes("XTENSION 'IMAGE   '"), 19), false);
    EXPECT_EQ(begins_a_header(bytes("SIMPLE   = T"), 12), false);
    EXPECT_EQ(begins_a_header(bytes("xtension= 'IMAGE   '"), 20), false);
}

// The bytes end where an unreadable page begins: every cut of a unit, and of a header
// whose END was lost, is read without a fault.
TEST(unit_check, reads_nothing_past_the_bytes)
{
    const Bytes unit = image("5", "4", 80, notes(30));
    Bytes endless(unit.begin(), unit.begin() + 5760);
    for (std::size_t at = 2880; at < endless.size(); at += 80) endless = put(endless, at, card("NOTE", "1"));

    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE)), room = (unit.size() + page - 1) / page * page;
    void *map = mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    unsigned char *guard = static_cast<unsigned char *>(map) + room;
    ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);
    int taken = 0;
    for (const Bytes *source : std::initializer_list<const Bytes *>{&unit, &endless})
        for (std::size_t n = 0; n <= source->size(); n++) {
            std::memcpy(guard - n, source->data(), n);
            const std::string why = unit_problem(guard - n, int64_t(n));
            EXPECT_EQ(why.empty(), library_takes(guard - n, int64_t(n))) << n << ": " << why;
            taken += why.empty();
        }
    EXPECT_EQ(taken, 2880 - 80 + 1);  // from the end of the data on, the padding may be cut
    for (std::size_t n = 0; n <= 9; n++) {
        std::memcpy(guard - n, "XTENSION=", n);
        EXPECT_EQ(begins_a_header(guard - n, int64_t(n)), n == 9);
    }
    munmap(map, room + page);
}
