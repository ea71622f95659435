// Extended file names and opening a FITS stream at the unit they select, on real
// multi-unit files and a real pipe, with the environment defaults and the copy stream.
#define _FILE_OFFSET_BITS 64

#include "fits_files.h"
#include "unit_check.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <optional>

namespace {

struct Parsed {
    std::string name, extn;
    int indx;
    std::string tail;
    int cflag;
    bool operator==(const Parsed &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Parsed &p)
{
    return os << "{" << p.name << "|" << p.extn << "|" << p.indx << "|" << p.tail << "|" << p.cflag << "}";
}

Parsed parse(const char *filename, int maxlen = 1024)
{
    char name[1024] = "untouched", extn[1024], tail[1024];
    int indx = 99;
    const int cflag = ft_parsefilename(filename, name, extn, &indx, tail, maxlen);
    return {name, extn, indx, tail, cflag};
}

} // namespace

namespace {

// Primary without data, then SCI 1, SCI 2, an HDUNAME-only unit, VAR 2.
std::string mef_units(bool with_primary = true)
{
    std::string bytes = with_primary ? primary_cards_text(0) : "";
    bytes += image_unit("SCI", 1, 100, 'a');
    bytes += image_unit("SCI", 2, 3000, 'b');
    bytes += image_unit("", 0, 10, 'c', "noise");
    bytes += image_unit("VAR", 2, 5, 'd');
    return bytes;
}

// What a selection gave: the selected unit's name, EXTVER and first data byte.
struct Selected {
    std::string name;
    int extver;
    int first_byte;
    bool operator==(const Selected &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Selected &s)
{
    return os << "{" << s.name << "," << s.extver << "," << s.first_byte << "}";
}

// ft_fitsheadread on file; checks the primary link and releases everything.
std::optional<Selected> select_on(File file, const char *filename)
{
    FITSHead fits = nullptr;
    File got = ft_fitsheadread(file, filename, &fits, "r");
    if (!got) return std::nullopt;
    Selected s{fits->basic->name, fits->basic->extn, std::fgetc(got)};
    if (fits->basic->simple) {
        EXPECT_EQ(fits->primary, nullptr);
    } else if (fits->primary) {
        EXPECT_EQ(fits->primary->rfcount, 1);
    }
    ft_headfree(fits, 1);
    std::fclose(got);
    return s;
}

std::optional<Selected> select_in(const std::string &path, const std::string &selector)
{
    File file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    return select_on(file, (path + selector).c_str());
}

// Sets or clears an environment variable for one scope.
struct EnvVar {
    const char *name;
    std::optional<std::string> old;
    EnvVar(const char *n, const char *value) : name(n)
    {
        if (const char *v = std::getenv(n)) old = v;
        if (value)
            setenv(n, value, 1);
        else
            unsetenv(n);
    }
    ~EnvVar()
    {
        if (old)
            setenv(name, old->c_str(), 1);
        else
            unsetenv(name);
    }
};

class fitshead : public ::testing::Test {
protected:
    TempDir dir;
    std::string mef = dir.write("mef.fits", mef_units());
    EnvVar no_name{"FITS_EXTNAME", nullptr};
    EnvVar no_num{"FITS_EXTNUM", nullptr};
};

const Selected kSci1{"SCI", 1, 'a'};
const Selected kSci2{"SCI", 2, 'b'};
const Selected kNoise{"None", 0, 'c'};
const Selected kVar{"VAR", 2, 'd'};

} // namespace

TEST_F(fitshead, file_name_table)
{
    struct Row {
        const char *filename;
        Parsed want;
    };
    const Row rows[] = {
        {"image.fits", {"image.fits", "", -1, "", 0}},
        {"image.fits[2]", {"image.fits", "", 2, "", 0}},
        {"image.fits,3", {"image.fits", "", 3, "", 0}},
        {"image.fits[sci]", {"image.fits", "sci", -1, "", 0}},
        {"image.fits[sci,3]", {"image.fits", "sci", 3, "", 0}},
        {"image.fits[sci,3,bin=2]", {"image.fits", "sci", 3, "[bin=2]", 0}},
        {"image.fits[bin=2]", {"image.fits", "", -1, "[bin=2]", 0}},
        {"image.fits[1][bin=2]", {"image.fits", "", 1, "[bin=2]", 0}},
        {"image.fits[sci,x]", {"image.fits", "sci", -1, "[x]", 0}},
        {"image.fits[sci,3]junk", {"image.fits", "sci", 3, "junk", 0}},
        {"image.fits[-1]", {"image.fits", "", -1, "[-1]", 0}},
        {"image.fits[ sci ]", {"image.fits", "", -1, "[ sci ]", 0}},
        {"image.fits[sci+]", {"image.fits", "sci", -1, "", 1}},
        {"image.fits[+]", {"image.fits", "", -1, "", 1}},
        {"image.fits[+2]", {"image.fits", "", 2, "", 1}},
        {"image.fits[a+b]", {"image.fits", "", -1, "[a+b]", 0}},
        {"image.fits[][][x]", {"image.fits", "", -1, "[][x]", 0}},
        {"x[3,4]", {"x", "", 3, "[4]", 0}},
    };
    for (const Row &row : rows) EXPECT_EQ(parse(row.filename), row.want) << row.filename;
}

TEST_F(fitshead, file_name_edges)
{
    EXPECT_EQ(parse("abcdefghij[sci,2,bin=3]", 5), (Parsed{"abcd", "sci", 2, "[bin", 0}));
    EXPECT_EQ(parse("[sci]"), (Parsed{"", "sci", -1, "", 0}));
    EXPECT_EQ(parse(",2"), (Parsed{"", "", 2, "", 0}));
    EXPECT_EQ(parse(""), (Parsed{"untouched", "", -1, "", 0}));
    EXPECT_EQ(parse(nullptr), (Parsed{"untouched", "", -1, "", 0}));
    EXPECT_EQ(parse("f[sci,]"), (Parsed{"f", "sci", -1, "", 0}));
    EXPECT_EQ(parse("f[sci,2]+"), (Parsed{"f", "sci", 2, "+", 0}));
    EXPECT_EQ(parse("f[99999999999]"), (Parsed{"f", "", 2147483647, "", 0}));

    // The extension word is bounded like the path and the tail.
    char name[8], extn[8], tail[8];
    std::memset(extn, '#', sizeof extn);
    int indx = 0;
    EXPECT_EQ(ft_parsefilename("f[abcdefghijkl]", name, extn, &indx, tail, 5), 0);
    EXPECT_EQ(std::string(extn), "abcd");
    EXPECT_EQ(extn[5], '#');
    EXPECT_EQ(std::string(tail), "");
}

TEST_F(fitshead, selection_by_name_and_version)
{
    // The primary has no data: the byte after its header begins the next XTENSION.
    const Selected primary{"primary", 0, 'X'};
    EXPECT_EQ(select_in(mef, ""), primary);
    EXPECT_EQ(select_in(mef, "[PriMary]"), primary);
    EXPECT_EQ(select_in(mef, "[sci]"), kSci1);
    EXPECT_EQ(select_in(mef, "[SCI,2]"), kSci2);
    EXPECT_EQ(select_in(mef, "[Noise]"), kNoise);
    // "None" stands for an absent EXTNAME or HDUNAME: SCI 1 has no HDUNAME.
    EXPECT_EQ(select_in(mef, "[none]"), kSci1);
    EXPECT_EQ(select_in(mef, "[var,2]"), kVar);
    EXPECT_EQ(select_in(mef, "[var,1]"), std::nullopt);
    // A word with a separator is no name: it goes to the tail.
    EXPECT_EQ(select_in(mef, "[var;sci]"), primary);
    EXPECT_EQ(select_in(mef, "[sci,3]"), std::nullopt);
    EXPECT_EQ(select_in(mef, "[sc]"), std::nullopt);
}

TEST_F(fitshead, selection_by_number)
{
    const Selected primary{"primary", 0, 'X'};
    EXPECT_EQ(select_in(mef, "[0]"), primary);
    EXPECT_EQ(select_in(mef, "[1]"), kSci1);
    EXPECT_EQ(select_in(mef, "[2]"), kSci2);
    EXPECT_EQ(select_in(mef, ",3"), kNoise);
    EXPECT_EQ(select_in(mef, "[4][bin=2]"), kVar);
    EXPECT_EQ(select_in(mef, "[5]"), std::nullopt);
    EXPECT_EQ(select_in(mef, "[99]"), std::nullopt);
}

TEST_F(fitshead, environment_defaults)
{
    const Selected primary{"primary", 0, 'X'};
    {
        EnvVar name("FITS_EXTNAME", "sci"), num("FITS_EXTNUM", "2");
        EXPECT_EQ(select_in(mef, ""), kSci2);
        EXPECT_EQ(select_in(mef, "[bin=2]"), kSci2); // a tail alone selects nothing
        EXPECT_EQ(select_in(mef, "[0]"), primary);
        EXPECT_EQ(select_in(mef, "[var]"), kVar); // FITS_EXTNUM is no EXTVER filter here
    }
    {
        EnvVar num("FITS_EXTNUM", "3");
        EXPECT_EQ(select_in(mef, ""), kNoise);
    }
    {
        EnvVar name("FITS_EXTNAME", "var noise");
        EXPECT_EQ(select_in(mef, ""), kNoise);
    }
    {
        EnvVar name("FITS_EXTNAME", "x;var:sci"), num("FITS_EXTNUM", "2");
        EXPECT_EQ(select_in(mef, ""), kSci2);
    }
    {
        EnvVar name("FITS_EXTNAME", "x y,,VAR");
        EXPECT_EQ(select_in(mef, ""), kVar);
    }
    {
        // A primary with data is the unit, whatever the environment says.
        EnvVar name("FITS_EXTNAME", "sci");
        const std::string with_data = dir.write("data.fits", primary_cards_text(10) + data_bytes(1, 'p') +
                                                                  image_unit("SCI", 1, 1, 'a'));
        EXPECT_EQ(select_in(with_data, ""), (Selected{"primary", 0, 'p'}));
    }
}

TEST_F(fitshead, extension_first_counts_as_position_0)
{
    const std::string bare = dir.write("bare.fits", mef_units(false));
    EXPECT_EQ(select_in(bare, ""), kSci1);
    EXPECT_EQ(select_in(bare, "[1]"), kSci2);
    EXPECT_EQ(select_in(bare, "[sci,2]"), kSci2);

    File file = std::fopen(bare.c_str(), "rb");
    FITSHead fits = nullptr;
    ASSERT_EQ(ft_fitsheadread(file, "[2]", &fits, nullptr), file);
    ASSERT_NE(fits->primary, nullptr);
    EXPECT_EQ(std::string(fits->primary->basic->name), "SCI");
    EXPECT_EQ(fits->primary->basic->extn, 1);
    ft_headfree(fits, 1);
    std::fclose(file);
}

TEST_F(fitshead, first_record_must_start_a_unit)
{
    const std::string good = mef_units();
    for (const std::string &bytes : {std::string(), good.substr(0, 79), "SIMPLE   =" + good.substr(10),
                                     "xTENSION=" + good.substr(9)}) {
        File file = std::fopen(dir.write("bad.fits", bytes).c_str(), "rb");
        FITSHead fits = nullptr;
        EXPECT_EQ(ft_fitsheadread(file, "bad.fits", &fits, "r"), nullptr); // and closes file
        EXPECT_EQ(fits, nullptr);
    }
    // A primary that never ends.
    File file = std::fopen(dir.write("cut.fits", good.substr(0, 2000)).c_str(), "rb");
    EXPECT_EQ(ft_fitsheadread(file, "", nullptr, "r"), nullptr);
    EXPECT_EQ(ft_fitsheadread(nullptr, "", nullptr, "r"), nullptr);
}

TEST_F(fitshead, selection_on_a_pipe)
{
    PipeFeed by_name(mef_units());
    EXPECT_EQ(select_on(by_name.stream, "[sci,2]"), kSci2);
    by_name.stream = nullptr; // closed by select_on

    PipeFeed by_number(mef_units());
    EXPECT_EQ(select_on(by_number.stream, "[4]"), kVar);
    by_number.stream = nullptr;

    PipeFeed missing(mef_units());
    EXPECT_EQ(select_on(missing.stream, "[7]"), std::nullopt);
    missing.stream = nullptr; // closed on failure
}

namespace {

// The bytes the copy stream receives while filename is selected on stream.
std::string copied_while_selecting(const TempDir &dir, File stream, const char *filename)
{
    const std::string copy_name = dir.file("copy.fits");
    File copy = std::fopen(copy_name.c_str(), "wb");
    EXPECT_EQ(ft_cfile(copy), nullptr);
    FITSHead fits = nullptr;
    File got = ft_fitsheadread(stream, filename, &fits, "r");
    EXPECT_EQ(ft_cfile(nullptr), copy);
    std::fclose(copy);
    if (got) {
        ft_headfree(fits, 1);
        std::fclose(got);
    }
    return file_contents(copy_name);
}

} // namespace

TEST_F(fitshead, copy_stream_holds_every_unit_passed_over)
{
    const std::string bytes = mef_units();
    // Primary, SCI 1 and SCI 2 come before the HDUNAME-only unit (third extension).
    const std::size_t before_noise = kBlock + 2 * kBlock + 3 * kBlock;
    const std::size_t before_sci1 = kBlock;
    struct Case {
        const char *selector;
        std::size_t prefix;
    };
    for (const Case c : {Case{"[noise]", before_noise}, Case{"[3]", before_noise}, Case{"[sci]", before_sci1},
                         Case{"[1]", before_sci1}, Case{"[0]", 0}, Case{"[primary]", 0}}) {
        File file = std::fopen(mef.c_str(), "rb");
        EXPECT_EQ(copied_while_selecting(dir, file, c.selector), bytes.substr(0, c.prefix)) << c.selector;
    }
    PipeFeed feed(bytes);
    EXPECT_EQ(copied_while_selecting(dir, feed.stream, "[3]"), bytes.substr(0, before_noise));
    feed.stream = nullptr;
}

TEST_F(fitshead, open_with_modes)
{
    char tail[1024];
    FITSHead fits = reinterpret_cast<FITSHead>(&tail); // must be overwritten
    File file = ft_fitsheadopen((mef + "[sci,2][bin=2]").c_str(), &fits, tail, sizeof tail, nullptr);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::string(tail), "[bin=2]");
    EXPECT_EQ(std::string(fits->basic->name), "SCI");
    EXPECT_EQ(fits->basic->extn, 2);
    EXPECT_EQ(std::fgetc(file), 'b');
    ft_headfree(fits, 1);
    std::fclose(file);

    struct Case {
        const char *selector, *mode;
        bool opened_only;
    };
    for (const Case c : {Case{"[sci]", "rC", true}, Case{"[sci+]", "rc", true}, Case{"[sci]", "rc", false},
                         Case{"[sci+]", "r", false}}) {
        fits = reinterpret_cast<FITSHead>(&tail);
        file = ft_fitsheadopen((mef + c.selector).c_str(), &fits, tail, sizeof tail, c.mode);
        ASSERT_NE(file, nullptr);
        if (c.opened_only) {
            EXPECT_EQ(fits, nullptr) << c.selector << c.mode;
            EXPECT_EQ(ftello(file), 0);
        } else {
            ASSERT_NE(fits, nullptr);
            EXPECT_EQ(std::fgetc(file), 'a') << c.selector << c.mode;
            ft_headfree(fits, 1);
        }
        std::fclose(file);
    }

    EXPECT_EQ(ft_fitsheadopen(dir.file("absent.fits").c_str(), &fits, tail, sizeof tail, "r"), nullptr);
    EXPECT_EQ(fits, nullptr);
    EXPECT_EQ(ft_fitsheadopen((mef + "[sci,9]").c_str(), &fits, tail, sizeof tail, "r"), nullptr);
    EXPECT_EQ(ft_fitsheadopen(mef.c_str(), &fits, tail, 0, "r"), nullptr);
    EXPECT_EQ(ft_fitsheadopen(mef.c_str(), &fits, tail, 1025, "r"), nullptr);
    // A path too long for the name buffer is refused, not opened cut short.
    EXPECT_EQ(ft_fitsheadopen((std::string(1100, 'p') + "[1]").c_str(), &fits, tail, sizeof tail, "r"),
              nullptr);
}

namespace {

struct Walk {
    std::vector<std::string> names;
    std::size_t stop_after;
};

int note_unit(File file, FITSHead fits, void **result, void *cdata)
{
    auto *walk = static_cast<Walk *>(cdata);
    walk->names.push_back(fits->basic->name);
    ft_dataskip(file, fits, nullptr);
    ft_headfree(fits, 1);
    *result = walk;
    return walk->names.size() == walk->stop_after ? 1 : 0;
}

} // namespace

TEST_F(fitshead, fileparse_walks_every_header)
{
    Walk all{{}, 0};
    File file = std::fopen(mef.c_str(), "rb");
    EXPECT_EQ(ft_fileparse(file, note_unit, &all), &all);
    EXPECT_EQ(all.names, (std::vector<std::string>{"primary", "SCI", "SCI", "None", "VAR"}));
    std::fclose(file);

    Walk two{{}, 2};
    file = std::fopen(mef.c_str(), "rb");
    EXPECT_EQ(ft_fileparse(file, note_unit, &two), &two);
    EXPECT_EQ(two.names, (std::vector<std::string>{"primary", "SCI"}));
    EXPECT_EQ(ftello(file), int64_t(3 * kBlock));
    std::fclose(file);

    EXPECT_EQ(ft_fileparse(nullptr, note_unit, &two), nullptr);
}

namespace {

// The big-endian elements of a data unit of BITPIX 16 or -32 as values, whatever the
// host's byte order.
std::vector<double> be_values(const unsigned char *p, std::size_t count, int bitpix)
{
    std::vector<double> v;
    for (std::size_t i = 0; i < count; i++) {
        if (bitpix == 16) {
            v.push_back(int16_t(uint16_t(p[2 * i] << 8 | p[2 * i + 1])));
        } else {
            const uint32_t u = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 |
                               p[4 * i + 3];
            float x;
            std::memcpy(&x, &u, 4);
            v.push_back(x);
        }
    }
    return v;
}

// A random-groups primary unit followed by an image extension, and what each holds.
struct GroupsFile {
    std::string name;
    int64_t groups_bytes;            // the primary's data unit, fill excluded
    std::vector<double> group_data;  // every element of the groups, parameters first in each
    int image_bitpix;
    std::vector<double> image;       // the extension's values
};

// The extension after the groups is found where it lies and reads right: through the
// stream openers and readers, the mapping walk and the tool's unit checks.
void expect_groups_then_image(const GroupsFile &f)
{
    SCOPED_TRACE(f.name);
    // The groups themselves, by the stream reader, as doubles.
    FITSHead h = nullptr;
    void *data = nullptr;
    ASSERT_EQ(ft_simpleimageread((f.name + "[0]").c_str(), &h, &data, nullptr, -64), 1);
    ASSERT_NE(h->basic, nullptr);
    EXPECT_EQ(h->basic->databytes, f.groups_bytes);
    EXPECT_EQ(h->basic->datapixls, int64_t(f.group_data.size()));
    const auto *d = static_cast<const double *>(data);
    EXPECT_EQ(std::vector<double>(d, d + f.group_data.size()), f.group_data);
    std::free(data);
    ft_headfree(h, 1);

    // The extension through a stream positioned by the opener.
    char tail[1024];
    h = nullptr;
    File file = ft_fitsheadopen((f.name + "[1]").c_str(), &h, tail, sizeof tail, "r");
    ASSERT_NE(file, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->basic->bitpix, f.image_bitpix);
    data = ft_dataread(file, h, nullptr, -64);
    ASSERT_NE(data, nullptr);
    d = static_cast<const double *>(data);
    EXPECT_EQ(std::vector<double>(d, d + f.image.size()), f.image);
    EXPECT_EQ(rest_of(file), "");  // the extension was the last unit
    std::free(data);
    ft_headfree(h, 1);
    std::fclose(file);

    // Through the mapping: the extension's bytes where the walk finds them.
    void **view = nullptr;
    ASSERT_EQ(ft_simpleimagemmap((f.name + "[1]").c_str(), &h, &data, &view, PROT_READ, MAP_SHARED), 1);
    EXPECT_EQ(be_values(static_cast<const unsigned char *>(data), f.image.size(), f.image_bitpix), f.image);
    std::free(view);
    ft_headfree(h, 0);

    // The tool's checks take both units and nothing after them.
    const std::string bytes = file_contents(f.name);
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const int64_t second = int64_t(kBlock) * (1 + (f.groups_bytes + int64_t(kBlock) - 1) / int64_t(kBlock));
    EXPECT_EQ(unit_problem(p, int64_t(bytes.size())), "");
    EXPECT_EQ(unit_problem(p + second, int64_t(bytes.size()) - second), "");
}

// Runs the script with Debian's interpreter, where python3-astropy installs: its exit
// status (-1 when it could not run) and output.
std::pair<int, std::string> python(const std::string &script, const std::string &arg)
{
    FILE *pipe = popen(("/usr/bin/python3 '" + script + "' '" + arg + "' 2>&1").c_str(), "r");
    if (!pipe) return {-1, ""};
    const std::string out = rest_of(pipe);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

} // namespace

// Random groups by hand: 3 groups of 4 parameters and a 40 x 30 array of 16-bit
// values take 3 blocks; PCOUNT x GCOUNT alone would be 24 bytes in 1 block, and the
// extension would be looked for inside the groups.
TEST_F(fitshead, random_groups_then_an_extension_by_hand)
{
    const int groups = 3, params = 4, nx = 40, ny = 30;
    std::string groups_data;
    GroupsFile f{"", 2LL * groups * (params + nx * ny), {}, -32, {}};
    for (int i = 0; i < groups * (params + nx * ny); i++) {
        const int v = (i * 37) % 65536 - 32768;
        f.group_data.push_back(v);
        groups_data += char(uint16_t(v) >> 8);
        groups_data += char(uint16_t(v) & 0xff);
    }
    groups_data.resize((groups_data.size() + kBlock - 1) / kBlock * kBlock, '\0');
    std::string image_data;
    for (int i = 0; i < 7 * 5; i++) {
        f.image.push_back(i * 0.25 - 3);
        const float x = float(i * 0.25 - 3);
        uint32_t u;
        std::memcpy(&u, &x, 4);
        for (int s = 24; s >= 0; s -= 8) image_data += char(u >> s & 0xff);
    }
    image_data.resize(kBlock, '\0');
    const std::string bytes =
        header_bytes({"SIMPLE  =                    T", "BITPIX  =                   16",
                      "NAXIS   =                    3", "NAXIS1  =                    0",
                      "NAXIS2  =                   40", "NAXIS3  =                   30",
                      "GROUPS  =                    T", "PCOUNT  =                    4",
                      "GCOUNT  =                    3"}) +
        groups_data +
        header_bytes({"XTENSION= 'IMAGE   '", "BITPIX  =                  -32", "NAXIS   =                    2",
                      "NAXIS1  =                    7", "NAXIS2  =                    5",
                      "PCOUNT  =                    0", "GCOUNT  =                    1"}) +
        image_data;
    f.name = dir.write("groups.fits", bytes);
    expect_groups_then_image(f);
}

// Random groups written by astropy, an independent writer: 9 groups of 3 parameters
// and a 50 x 6 array of floats, then a 16-bit image extension.
TEST_F(fitshead, random_groups_then_an_extension_from_astropy)
{
    const char *script = R"(import sys, warnings
import numpy as np
from astropy.io import fits
warnings.simplefilter('error')
G, P = 9, 3
pardata = [np.array([g * 10 + i for g in range(G)], dtype='>f4') for i in range(P)]
arrays = np.array([np.arange(300, dtype='>f4').reshape(6, 50) * 0.5 + 1000 * g for g in range(G)], dtype='>f4')
groups = fits.GroupData(arrays, parnames=['p0', 'p1', 'p2'], pardata=pardata, bitpix=-32)
image = (np.arange(13 * 11).reshape(11, 13) * 7 - 300).astype('>i2')
fits.HDUList([fits.GroupsHDU(groups), fits.ImageHDU(image, name='AFTER')]).writeto(sys.argv[1])
with fits.open(sys.argv[1]) as f:
    print(f[0].size, f[1].name)
)";
    const std::string name = dir.file("astropy_groups.fits");
    const auto [status, out] = python(dir.write("groups.py", script), name);
    if (status != 0 && out.find("No module named") != std::string::npos) GTEST_SKIP() << out;
    ASSERT_EQ(status, 0) << out;
    const int groups = 9, params = 3, array = 300;
    EXPECT_EQ(out, std::to_string(4 * groups * (params + array)) + " AFTER\n");  // astropy's own count
    GroupsFile f{name, 4LL * groups * (params + array), {}, 16, {}};
    for (int g = 0; g < groups; g++) {
        for (int i = 0; i < params; i++) f.group_data.push_back(g * 10 + i);
        for (int i = 0; i < array; i++) f.group_data.push_back(i * 0.5 + 1000 * g);
    }
    for (int i = 0; i < 13 * 11; i++) f.image.push_back(i * 7 - 300);
    expect_groups_then_image(f);
}
