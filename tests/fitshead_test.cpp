// Extended file names and opening a FITS stream at the unit they select, on real
// multi-unit files and a real pipe, with the environment defaults and the copy stream.
#define _FILE_OFFSET_BITS 64

#include "fits_files.h"

#include <gtest/gtest.h>

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
