// Checksums against references that are not this library: CFITSIO's sum and encoding and
// the cards it writes, the cards of an astropy file, fitsverify's and astropy's checks of
// a file this library wrote; and sums chained over pieces at any alignment.
#include "card_text.h"
#include "scene.h"
#include "unit_bytes.h"
#include "fits.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

#ifdef TOLV_CFITSIO_CHECKSUM
const char *const kCfitsio = TOLV_CFITSIO_CHECKSUM;
#else
const char *const kCfitsio = nullptr;
#endif
const char *const kNoCfitsio = "no CFITSIO reference program in this build (CFITSIO not found, or a 32-bit build)";
// Debian's interpreter, where python3-astropy installs (a python3 first on PATH may not have it).
const char *const kPython = "/usr/bin/python3";

using Bytes = std::vector<unsigned char>;

std::string quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Output {
    int status = -1;
    std::string text;  // standard output and standard error
};

// Runs a shell command to its end, however long a busy machine takes.
Output run(const std::string &command)
{
    Output out;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.text.append(buf, n);
    const int status = pclose(pipe);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// One header-and-data unit of a file: its header as whole blocks of cards, its data unit
// with the fill.
struct Unit {
    std::vector<FITSBuff> cards;
    Bytes data;
    FITSBuff *card(const char *keyword)
    {
        const std::string key = padded(keyword, 8);
        for (FITSBuff &c : cards)
            if (key.compare(0, 8, c.c, 8) == 0) return &c;
        return nullptr;
    }
    uint32_t recorded_datasum() { return uint32_t(std::strtoul(ft_cardget(card("DATASUM")), nullptr, 10)); }
};

// The units of a file, their sizes as the library reads them.
std::vector<Unit> units_of(Bytes file)
{
    std::vector<Unit> units;
    for (std::size_t at = 0; at < file.size();) {
        FITSHead head = ft_headinit(file.data() + at, int64_t(file.size() - at));
        if (!head || !head->basic) break;
        const std::size_t header = std::size_t(head->ncard + 35) / 36 * 2880;
        const std::size_t data = std::size_t(head->basic->databloks) * 2880;
        ft_headfree(head, 0);
        Unit u;
        u.cards.resize(header / 80);
        std::memcpy(u.cards.data(), file.data() + at, header);
        u.data.assign(file.begin() + long(at + header), file.begin() + long(at + header + data));
        units.push_back(std::move(u));
        at += header + data;
    }
    return units;
}

int check(Unit &u)
{
    return ft_checksumcheck(u.cards.data(), int(u.cards.size()), u.data.data(), int64_t(u.data.size()));
}

// The reference's unit and the library's verdicts on it: its data sum is DATASUM, it checks
// out, and ft_checksumset on a copy whose two values were changed writes the reference's
// cards byte for byte (comments kept).  A changed data or header byte fails the check.
void expect_reference_unit(Unit u, int n)
{
    SCOPED_TRACE("unit " + std::to_string(n));
    ASSERT_NE(u.card("CHECKSUM"), nullptr);
    ASSERT_NE(u.card("DATASUM"), nullptr);
    const uint32_t datasum = ft_checksum(u.data.data(), int64_t(u.data.size()), 0);
    EXPECT_EQ(datasum, u.recorded_datasum());
    EXPECT_EQ(check(u), 1);

    Unit copy = u;
    ft_cardsets(copy.card("CHECKSUM"), "0123456789abcdef", FT_Comment);
    ft_cardsets(copy.card("DATASUM"), "77", FT_Comment);
    EXPECT_EQ(check(copy), 0);
    EXPECT_EQ(ft_checksumset(copy.cards.data(), int(copy.cards.size()), datasum), 3);
    EXPECT_EQ(text_of(*copy.card("CHECKSUM")), text_of(*u.card("CHECKSUM")));
    EXPECT_EQ(text_of(*copy.card("DATASUM")), text_of(*u.card("DATASUM")));

    if (!u.data.empty()) {
        copy = u;
        copy.data[copy.data.size() / 3] ^= 0x10;
        EXPECT_EQ(check(copy), 0);
    }
    copy = u;
    copy.cards[0].c[79] ^= 0x01;
    EXPECT_EQ(check(copy), 0);
}

// Random bytes; with `ones`, mostly 0xFF so that the sum carries again and again.
Bytes random_bytes(std::mt19937 &rng, std::size_t n, bool ones)
{
    Bytes b(n);
    for (auto &c : b) c = ones && rng() % 8 != 0 ? 0xFF : static_cast<unsigned char>(rng());
    return b;
}

} // namespace

TEST(checksum, sum_matches_cfitsio_for_any_length_and_many_carries)
{
    if (!kCfitsio) GTEST_SKIP() << kNoCfitsio;
    std::mt19937 rng(2880);
    // The last: words adding up to 2^33 - 1, whose first fold carries once more.
    std::vector<Bytes> buffers = {Bytes(5760, 0xFF), Bytes(1, 0xFF), Bytes(2880, 0),
                                  {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1}};
    for (std::size_t n : {1, 2, 3, 4, 5, 7, 2879, 2880, 2881, 8640, 11523})
        for (bool ones : {false, true}) buffers.push_back(random_bytes(rng, n, ones));
    for (int i = 0; i < 40; i++) buffers.push_back(random_bytes(rng, 1 + rng() % 30000, i % 2 != 0));

    // CFITSIO sums whole records: each buffer padded with zeros, after a primary header.
    TestDir dir;
    Bytes file = unitbytes::unit_bytes(unitbytes::primary());
    std::string command = quoted(kCfitsio) + " sum " + quoted(dir.file("sums.fits"));
    for (const Bytes &b : buffers) {
        file.insert(file.end(), b.begin(), b.end());
        file.resize((file.size() + 2879) / 2880 * 2880, 0);
        command.append(" ").append(std::to_string((b.size() + 2879) / 2880));
    }
    unitbytes::write(dir.file("sums.fits"), file);
    const Output out = run(command);
    ASSERT_EQ(out.status, 0) << out.text;
    const std::vector<std::string> sums = lines(out.text);
    ASSERT_EQ(sums.size(), buffers.size());
    for (std::size_t i = 0; i < buffers.size(); i++)
        EXPECT_EQ(std::to_string(ft_checksum(buffers[i].data(), int64_t(buffers[i].size()), 0)), sums[i])
            << buffers[i].size() << " bytes";
}

TEST(checksum, encoding_matches_cfitsio_for_every_kind_of_sum)
{
    if (!kCfitsio) GTEST_SKIP() << kNoCfitsio;
    std::vector<uint32_t> sums = {0, 1, 0xFFFFFFFF, 0xFFFFFFFE, 0x7FFFFFFF, 0x80000000, 0x0000FFFF,
                                  0xFFFF0000, 0x00FFFFFF, 0xFF000000, 0x01010101, 0xFEFEFEFE};
    std::mt19937 rng(16);
    for (int i = 0; i < 400; i++) sums.push_back(uint32_t(rng()));
    std::string command = quoted(kCfitsio) + " enc";
    for (uint32_t s : sums) command.append(" ").append(std::to_string(s));
    const Output out = run(command);
    ASSERT_EQ(out.status, 0) << out.text;
    const std::vector<std::string> encoded = lines(out.text);
    ASSERT_EQ(encoded.size(), sums.size());
    for (std::size_t i = 0; i < sums.size(); i++) {
        char ascii[17];
        EXPECT_EQ(std::string(ft_checksumenc(sums[i], ascii)), encoded[i]) << sums[i];
    }
}

TEST(checksum, cfitsio_units_check_and_set_alike)
{
    if (!kCfitsio) GTEST_SKIP() << kNoCfitsio;
    TestDir dir;
    const Output out = run(quoted(kCfitsio) + " write " + quoted(dir.file("cfitsio.fits")));
    ASSERT_EQ(out.status, 0) << out.text;
    const std::vector<Unit> units = units_of(unitbytes::read(dir.file("cfitsio.fits")));
    ASSERT_EQ(units.size(), 6u);
    for (std::size_t i = 0; i < units.size(); i++) expect_reference_unit(units[i], int(i));
}

namespace {

// Writes a file of several kinds of unit with astropy's checksums, or prints astropy's
// verdicts (CHECKSUM, DATASUM: 1 good, 0 bad, 2 missing) on each unit of a file, warnings
// being errors.
const char *const kAstropyScript = R"(import sys, warnings
import numpy as np
from astropy.io import fits
warnings.simplefilter('error')
if sys.argv[1] == 'write':
    rng = np.random.default_rng(7)
    table = fits.BinTableHDU.from_columns([
        fits.Column(name='n', format='J', array=rng.integers(-2**31, 2**31, 77, dtype='i4')),
        fits.Column(name='s', format='12A', array=np.array(['x' * (i % 13) for i in range(77)])),
        fits.Column(name='d', format='D', array=rng.normal(size=77))])
    fits.HDUList([fits.PrimaryHDU(),
                  fits.ImageHDU(rng.integers(0, 256, (31, 37), dtype=np.uint8)),
                  fits.ImageHDU(rng.integers(-2**15, 2**15, (50, 41), dtype='i2')),
                  fits.ImageHDU(np.full((40, 75), -1, dtype='>i4')),
                  fits.ImageHDU(rng.normal(size=(17, 19)).astype('>f4')),
                  fits.ImageHDU(rng.normal(size=23).astype('>f8')),
                  fits.ImageHDU(), table]).writeto(sys.argv[2], checksum=True)
else:
    with fits.open(sys.argv[2], checksum=True) as hdus:
        for hdu in hdus:
            print(hdu.verify_checksum(), hdu.verify_datasum())
)";

Output astropy(const TestDir &dir, const std::string &mode, const std::string &file)
{
    unitbytes::write(dir.file("checksums.py"), Bytes(kAstropyScript, kAstropyScript + std::strlen(kAstropyScript)));
    return run(std::string(kPython) + " " + quoted(dir.file("checksums.py")) + " " + mode + " " + quoted(file));
}

} // namespace

TEST(checksum, astropy_units_check_and_set_alike)
{
    TestDir dir;
    const Output out = astropy(dir, "write", dir.file("astropy.fits"));
    ASSERT_EQ(out.status, 0) << out.text;
    const std::vector<Unit> units = units_of(unitbytes::read(dir.file("astropy.fits")));
    ASSERT_EQ(units.size(), 8u);
    EXPECT_EQ(units[6].data.size(), 0u);  // the empty image
    for (std::size_t i = 0; i < units.size(); i++) expect_reference_unit(units[i], int(i));
}

TEST(checksum, library_written_file_passes_fitsverify_and_astropy)
{
    using unitbytes::card;
    std::mt19937 rng(7);
    const std::vector<std::vector<std::string>> headers = {
        {card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"), card("EXTEND", "T")},
        {card("XTENSION", "'IMAGE   '"), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "37"),
         card("NAXIS2", "23"), card("PCOUNT", "0"), card("GCOUNT", "1")},
        {card("XTENSION", "'IMAGE   '"), card("BITPIX", "32"), card("NAXIS", "1"), card("NAXIS1", "720"),
         card("PCOUNT", "0"), card("GCOUNT", "1")}};
    const std::vector<Bytes> data = {{}, random_bytes(rng, 37 * 23 * 2, false), random_bytes(rng, 2880, true)};
    Bytes file;
    for (std::size_t u = 0; u < headers.size(); u++) {
        FITSHead head = ft_headinit(nullptr, 0);
        for (const std::string &text : headers[u]) {
            FITSBuff c = card_of(text);
            ft_cardapp(head, &c);
        }
        ft_headapps(head, "CHECKSUM", 0, "", "HDU checksum");
        ft_headapps(head, "DATASUM", 0, "", "data unit checksum");
        Bytes unit = data[u];
        unit.resize((unit.size() + 2879) / 2880 * 2880, 0);
        const int ncards = (head->ncard + 35) / 36 * 36;
        EXPECT_EQ(ft_checksumset(head->cards, ncards, ft_checksum(unit.data(), int64_t(unit.size()), 0)), 3);
        const auto *cards = reinterpret_cast<const unsigned char *>(head->cards);
        unit.insert(unit.begin(), cards, cards + std::size_t(ncards) * 80);
        EXPECT_EQ(ft_checksum(unit.data(), int64_t(unit.size()), 0), 0xFFFFFFFFu);
        ft_headfree(head, 1);
        file.insert(file.end(), unit.begin(), unit.end());
    }
    TestDir dir;
    unitbytes::write(dir.file("lib.fits"), file);
    const Output verified = run("fitsverify " + quoted(dir.file("lib.fits")));
    EXPECT_NE(verified.text.find("**** Verification found 0 warning(s) and 0 error(s). ****"), std::string::npos)
        << verified.text;
    const Output astropy_verdicts = astropy(dir, "verify", dir.file("lib.fits"));
    EXPECT_EQ(astropy_verdicts.text, "1 1\n1 1\n1 1\n");

    // Both notice a changed data byte.
    file[file.size() - 100] ^= 0x04;
    unitbytes::write(dir.file("lib.fits"), file);
    const Output damaged = run("fitsverify " + quoted(dir.file("lib.fits")));
    EXPECT_NE(damaged.text.find("Data checksum is not consistent"), std::string::npos) << damaged.text;
    EXPECT_NE(astropy(dir, "verify", dir.file("lib.fits")).status, 0);
}

TEST(checksum, sums_of_pieces_chain_at_any_alignment)
{
    std::mt19937 rng(4);
    const Bytes bytes = random_bytes(rng, 40001, true);
    const uint32_t whole = ft_checksum(bytes.data(), int64_t(bytes.size()), 0);
    for (int trial = 0; trial < 300; trial++) {
        std::vector<std::size_t> cuts = {0, bytes.size()};
        for (int k = 1 + trial % 9; k > 0; k--) cuts.push_back(rng() % (bytes.size() / 4) * 4);
        std::sort(cuts.begin(), cuts.end());
        uint32_t sum = 0;
        for (std::size_t i = 0; i + 1 < cuts.size(); i++)
            sum = ft_checksum(bytes.data() + cuts[i], int64_t(cuts[i + 1] - cuts[i]), sum);
        EXPECT_EQ(sum, whole);
    }
    // Unaligned data, and every length of a short tail, read alike at every offset.
    Bytes shifted(bytes.size() + 8);
    for (std::size_t offset = 1; offset < 8; offset++) {
        std::copy(bytes.begin(), bytes.end(), shifted.begin() + long(offset));
        for (std::size_t n : {bytes.size(), std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(5)})
            EXPECT_EQ(ft_checksum(shifted.data() + offset, int64_t(n), 0), ft_checksum(bytes.data(), int64_t(n), 0));
    }
    EXPECT_EQ(ft_checksum(bytes.data(), 0, 12345), 12345u);
    EXPECT_EQ(ft_checksum(nullptr, 4, 12345), 12345u);
}

TEST(checksum, set_and_check_take_only_valued_cards_before_end)
{
    const unsigned char data[6] = {1, 2, 3, 4, 5, 6};  // sums to 0x01020304 + 0x05060000
    // Commentary look-alikes, and the real cards after END, are not the keywords.
    std::vector<FITSBuff> cards(36, card_of(""));
    cards[0] = card_of("CHECKSUM  not a value");
    cards[1] = card_of("DATASUM");
    cards[2] = card_of("END");
    cards[3] = card_of("CHECKSUM= 'xx'");
    cards[4] = card_of("DATASUM = '1'");
    const std::vector<FITSBuff> before = cards;
    EXPECT_EQ(ft_checksumset(cards.data(), 36, 0), 0);
    EXPECT_EQ(std::memcmp(cards.data(), before.data(), 36 * 80), 0);
    EXPECT_EQ(ft_checksumcheck(cards.data(), 36, data, 6), -1);
    EXPECT_EQ(ft_checksumset(nullptr, 36, 0), 0);
    EXPECT_EQ(ft_checksumcheck(nullptr, 36, data, 6), -1);

    // DATASUM alone, as the last card before END in an array of exactly one block.
    cards.assign(36, card_of(""));
    cards[34] = card_of("DATASUM = 'old' / kept");
    cards[35] = card_of("END");
    EXPECT_EQ(ft_checksumset(cards.data(), 36, ft_checksum(data, 6, 0)), 2);
    EXPECT_EQ(text_of(cards[34]), padded("DATASUM = '101188356'          / kept"));
    EXPECT_EQ(ft_checksumcheck(cards.data(), 36, data, 6), 1);
    EXPECT_EQ(ft_checksumcheck(cards.data(), 36, data, 5), 0);
    // Trailing junk, the right sum plus 2^32, no digits, no quotes.
    for (const char *bad : {"DATASUM = '101188356x'", "DATASUM = '4396155652'", "DATASUM = ''",
                            "DATASUM =  101188356"}) {
        cards[34] = card_of(bad);
        EXPECT_EQ(ft_checksumcheck(cards.data(), 36, data, 6), 0) << bad;
    }

    // CHECKSUM alone: the unit sums to negative zero with the data it was set for only.
    cards[34] = card_of("CHECKSUM= 'x'");
    EXPECT_EQ(ft_checksumset(cards.data(), 36, ft_checksum(data, 6, 0)), 1);
    EXPECT_EQ(text_of(cards[34]).substr(27), "'" + blanks(52));  // closes in column 28
    EXPECT_EQ(ft_checksumcheck(cards.data(), 36, data, 6), 1);
    EXPECT_EQ(ft_checksumcheck(cards.data(), 36, data, 5), 0);
    char ascii[17];
    EXPECT_EQ(ft_checksumenc(0, nullptr), nullptr);
    EXPECT_EQ(std::string(ft_checksumenc(0xFFFFFFFF, ascii)), "0000000000000000");
}
