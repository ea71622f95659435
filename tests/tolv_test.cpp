// End-to-end runs of the built tolv on real files in a temporary directory.
#include "fit_reference.h"
#include "fringefit.h"
#include "mosaic.h"

#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace unitbytes;

namespace {

// What the fit in this process gives on a copy of the same files: the table and
// the science file's bytes afterwards.
std::pair<std::string, std::vector<unsigned char>> fit_in_process(const std::vector<std::string> &args,
                                                                   const TestDir &dir)
{
    const std::string copy = dir.file("copy.fits");
    write(copy, read(args[0]));
    const Mosaic sci = ft_mmapmosaic(copy.c_str(), "rw", 73);
    std::vector<Mosaic> fr;
    for (size_t k = 1; k < args.size(); k++) fr.push_back(ft_mmapmosaic(args[k].c_str(), "r", 73));
    std::FILE *out = std::tmpfile();
    fringe_fit(sci, fr.data(), int(fr.size()), out);
    std::rewind(out);
    std::string table;
    for (int c; (c = std::fgetc(out)) != EOF;) table += char(c);
    std::fclose(out);
    ft_freemosaic(sci);
    for (Mosaic m : fr) ft_freemosaic(m);
    return {table, read(copy)};
}

std::vector<std::vector<unsigned char>> contents(const std::vector<std::string> &args)
{
    std::vector<std::vector<unsigned char>> c;
    for (const auto &a : args) c.push_back(read(a));
    return c;
}

} // namespace

TEST(tolv, fewer_than_two_arguments_print_usage)
{
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"science.fits"}}) {
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Usage: tolv file fringefile1 ... fringefilen\n");
    }
}

TEST(tolv, corrects_every_extension_as_the_fit_does)
{
    TestDir dir;
    const Scene scene{37, 23, 3, 2};
    const auto args = scene.write_files(dir);
    const auto expected = fit_in_process(args, dir);
    const auto fringes_before = contents({args[1], args[2]});
    // The fit in this process writes no record: neither does this run.
    std::vector<std::string> no_record = args;
    no_record.insert(no_record.begin(), "--no-record");
    const ToolRun run = run_tolv(no_record);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected.first);
    EXPECT_EQ(read(args[0]), expected.second);
    EXPECT_EQ(contents({args[1], args[2]}), fringes_before);
    // Headers and the primary unit are untouched; every extension changed.
    const auto before = file_bytes(scene.science());
    const auto after = read(args[0]);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 2 * 2880, after.begin()));
    EXPECT_NE(after, before);
    // The table: two head lines and five rows per extension.
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2 + 3 * 5);
}

// The pixels go to the file in pieces of 65536: non-finite science pixels on either
// side of a piece's edge, at the ends and in a row of their own keep their bytes,
// in place and in a copy, and every other byte is the in-process fit's.
TEST(tolv, large_extensions_with_non_finite_pixels_at_every_piece_edge)
{
    TestDir dir;
    const Scene scene{389, 521, 2, 2}; // 202669 pixels an extension: four pieces
    std::vector<Unit> units = scene.science();
    const uint32_t odd[] = {0x7fc00000u, 0xff800000u, 0x7f800000u, 0x7fa00001u}; // NaN, -inf, +inf, signalling NaN
    std::vector<size_t> at = {0, 65535, 65536, 131071, 131072, 196607, 196608, 202668};
    for (size_t p = 389 * 200; p < 389 * 201; p++) at.push_back(p); // a whole row
    for (size_t e = 1; e < units.size(); e++)
        for (size_t i = 0; i < at.size(); i++)
            for (int b = 0; b < 4; b++) units[e].data[4 * at[i] + size_t(b)] = (odd[i % 4] >> (24 - 8 * b)) & 0xff;
    std::vector<std::string> args = scene.write_files(dir);
    write(args[0], file_bytes(units));
    const auto expected = fit_in_process(args, dir);
    const std::string out = dir.file("out.fits");
    const ToolRun copy = run_tolv(with({"--no-record", "-o", out}, args));
    const ToolRun in_place = run_tolv(with({"--no-record"}, args));
    for (const ToolRun *run : {&copy, &in_place}) {
        EXPECT_EQ(run->status, 0);
        EXPECT_EQ(run->err, "");
        EXPECT_EQ(run->out, expected.first);
    }
    EXPECT_EQ(read(out), expected.second);
    EXPECT_EQ(read(args[0]), expected.second);
    // The non-finite pixels are the file's own, bit for bit.
    const std::vector<unsigned char> before = file_bytes(units), after = read(args[0]);
    ASSERT_EQ(after.size(), before.size());
    size_t kept = 0, changed = 0;
    for (size_t i = 0; i < before.size(); i += 4) {
        uint32_t u = 0;
        for (int b = 0; b < 4; b++) u = u << 8 | before[i + size_t(b)];
        const bool non_finite = (u & 0x7f800000u) == 0x7f800000u;
        const bool same = std::equal(before.begin() + long(i), before.begin() + long(i) + 4, after.begin() + long(i));
        if (non_finite) kept += same;
        else changed += !same;
    }
    EXPECT_EQ(kept, 2 * at.size());
    EXPECT_GT(changed, size_t(2 * 202669 * 9 / 10));
}

TEST(tolv, a_file_without_extensions_prints_the_head_only)
{
    TestDir dir;
    const std::string sci = dir.file("s.fits"), fr = dir.file("f.fits");
    write(sci, file_bytes({primary()}));
    write(fr, file_bytes({primary()}));
    const ToolRun run = run_tolv({sci, fr});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Extn\tIter\tSigma\tNpix\tAconst\tAx\tAy\tAfringe00\n"
                       "----\t----\t-----\t----\t------\t--\t--\t---------\n");
}

TEST(tolv, unopenable_files_are_named_and_nothing_changes)
{
    TestDir dir;
    const Scene scene{8, 6, 2, 2};
    auto args = scene.write_files(dir);
    const auto before = contents(args);
    {
        auto missing = args;
        missing[2] = dir.file("absent.fits");
        const ToolRun run = run_tolv(missing);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tolv: " + missing[2] + ": No such file or directory\nCouldn't open file " + missing[2] + "\n");
    }
    {
        auto missing = args;
        missing[0] = dir.file("absent.fits");
        const ToolRun run = run_tolv(missing);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "tolv: " + missing[0] + ": No such file or directory\nCouldn't open file " + missing[0] + "\n");
    }
    {
        // Readable but not writable: refused, even though it could be read.
        chmod(args[0].c_str(), 0444);
        const ToolRun run = run_tolv(args, /*unprivileged=*/true);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tolv: " + args[0] + ": Permission denied\nCouldn't open file " + args[0] + "\n");
        chmod(args[0].c_str(), 0644);
    }
    {
        write(args[1], {});
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind("mmap: ", 0), 0u);
        EXPECT_NE(run.err.find("Couldn't open file " + args[1] + "\n"), std::string::npos);
        write(args[1], before[1]);
    }
    EXPECT_EQ(contents(args), before);
}

TEST(tolv, fits_that_cannot_be_solved)
{
    const std::string banner = "Tessaly run-time error...\nSingular matrix in routine LUDCMP\n...now exiting to system...\n";
    TestDir dir;
    const Scene scene{9, 7, 3, 1};
    auto args = scene.write_files(dir);
    const size_t unit = 2880 + (9 * 7 * 4 + 2879) / 2880 * 2880;
    const size_t ext1 = 2880 + 2880;
    {
        // Known from the data: extension 2 of the fringe frame is all zero.  Refused
        // before anything is written, with the line that names it.
        auto fr = scene.fringe(0);
        fr[2].data.assign(fr[2].data.size(), 0);
        write(args[1], file_bytes(fr));
        const auto before = read(args[0]);
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tolv: " + args[1] +
                               ": extension 2: the fringe frame is zero wherever the science image has data; the fit "
                               "cannot be solved\n" + banner);
        EXPECT_EQ(read(args[0]), before);
    }
    {
        // Known only while fitting: in extension 2 the frame is nonzero at two pixels
        // that lie +-4000 off the sky, so the first fit gives them no amplitude, the
        // clip then leaves them out, and the frame is zero at every pixel used.
        auto fr = scene.fringe(0);
        auto sci = scene.science();
        std::vector<float> f(9 * 7, 0.0f), px(9 * 7);
        for (int p = 0; p < 9 * 7; p++) px[size_t(p)] = float(100 + (p * 37 % 11));
        f[10] = f[40] = 1.0f;
        px[10] += 4000.0f;
        px[40] -= 4000.0f;
        fr[2] = float_image(9, 7, f);
        sci[2] = float_image(9, 7, px, {card("EXTVER", "2")});
        write(args[1], file_bytes(fr));
        write(args[0], file_bytes(sci));
        const auto before = read(args[0]);
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "tolv: " + args[0] +
                               ": extension 2: after clipping, a fringe frame or a gradient is zero at every pixel "
                               "used; the fit cannot be solved\ntolv: " + args[0] +
                               ": extension 1 is corrected, extensions 2 and 3 are left as they were\n" + banner);
        // Extension 1's five rows and the one row of extension 2 before the clip.
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2 + 5 + 1);
        const auto after = read(args[0]);
        EXPECT_FALSE(std::equal(after.begin() + ext1, after.begin() + ext1 + 9 * 7 * 4, before.begin() + ext1));
        EXPECT_TRUE(std::equal(after.begin() + ext1 + unit - 2880, after.end(), before.begin() + ext1 + unit - 2880));
        // A clean stop: no journal is left to finish.
        EXPECT_EQ(access((args[0] + ".tolv-journal").c_str(), F_OK), -1);
    }
    {
        // An image one pixel wide has no x gradient.
        std::vector<Unit> one = {primary(), float_image(1, 5, {1, 2, 3, 4, 5})};
        std::vector<Unit> fr = {primary(), float_image(1, 5, {1, -1, 1, -1, 1})};
        write(args[0], file_bytes(one));
        write(args[1], file_bytes(fr));
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "tolv: " + args[0] + ": extension 1: an image one pixel wide has no x gradient; the fit "
                                                "cannot be solved\n" + banner);
        EXPECT_EQ(read(args[0]), file_bytes(one));
    }
}

TEST(tolv, more_than_73_units_process_units_1_to_72)
{
    TestDir dir;
    const Scene scene{4, 3, 75, 1};
    const auto args = scene.write_files(dir);
    const auto before = read(args[0]);
    const ToolRun run = run_tolv(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2 + 72 * 5);
    EXPECT_NE(run.out.find("\n72\t4\t"), std::string::npos);
    EXPECT_EQ(run.out.find("\n73\t"), std::string::npos);
    const auto after = read(args[0]);
    const size_t unit = 2 * 2880, first73 = 2880 + 72 * unit;
    EXPECT_TRUE(std::equal(after.begin() + first73, after.end(), before.begin() + first73));
    EXPECT_FALSE(std::equal(after.begin(), after.begin() + first73, before.begin()));
    EXPECT_NE(run.err.find("only units 0 to 72 are corrected"), std::string::npos);
}

TEST(tolv, refuses_mismatched_extensions_before_writing_anything)
{
    TestDir dir;
    const Scene scene{8, 6, 3, 2};
    const auto good = scene.write_files(dir);
    struct Case {
        const char *what;
        int file;                       // 0 science, 1.. fringe
        std::function<void(std::vector<Unit> &)> damage;
        std::string message;            // expected stderr after "tolv: <file>: "
    };
    const std::vector<Case> cases = {
        {"science extension of another size", 0,
         [](std::vector<Unit> &u) { u[3] = float_image(8, 5, std::vector<float>(40, 1.0f)); },
         "extension 3: expected a BITPIX -32 image of 8 x 6 pixels, found BITPIX -32, 8 x 5 pixels"},
        {"fringe extension of another BITPIX", 2,
         [](std::vector<Unit> &u) {
             u[2].cards[1] = card("BITPIX", "32");
         },
         "extension 2: expected a BITPIX -32 image of 8 x 6 pixels, found BITPIX 32, 8 x 6 pixels"},
        {"fringe frame with fewer units", 1, [](std::vector<Unit> &u) { u.pop_back(); },
         "extension 3: expected a BITPIX -32 image of 8 x 6 pixels, found no such extension (the file has 3 units)"},
        {"science extension 1 of one axis", 0,
         [](std::vector<Unit> &u) {
             u[1].cards[2] = card("NAXIS", "1");
             u[1].cards[3] = card("NAXIS1", "48");
             u[1].cards[4] = card("COMMENT", "''");
         },
         "extension 1: expected a BITPIX -32 image of two axes, found BITPIX -32, 48 pixels"},
    };
    for (const auto &c : cases) {
        std::vector<Unit> units = c.file == 0 ? scene.science() : scene.fringe(c.file - 1);
        c.damage(units);
        write(good[size_t(c.file)], file_bytes(units));
        const auto before = contents(good);
        const ToolRun run = run_tolv(good);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(run.err, "tolv: " + good[size_t(c.file)] + ": " + c.message + "\n") << c.what;
        EXPECT_EQ(contents(good), before) << c.what;
        write(good[size_t(c.file)], file_bytes(c.file == 0 ? scene.science() : scene.fringe(c.file - 1)));
    }
}

TEST(tolv, files_beyond_4_gib_are_corrected_or_refused_cleanly)
{
    TestDir dir;
    const Scene scene{16, 12, 2, 1};
    const auto small = scene.write_files(dir);
    // The same extensions after a primary unit of 4.59e9 bytes of (sparse) data.
    std::vector<Unit> units = scene.science();
    units[0].cards = {card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "2"), card("NAXIS1", "65536"),
                      card("NAXIS2", "70000")};
    const int64_t primary_data = (int64_t(65536) * 70000 + 2879) / 2880 * 2880;
    const std::string big = dir.file("big.fits");
    {
        const auto head = unit_bytes(Unit{units[0].cards, {}});
        std::vector<unsigned char> rest;
        for (size_t i = 1; i < units.size(); i++) {
            const auto b = unit_bytes(units[i]);
            rest.insert(rest.end(), b.begin(), b.end());
        }
        const int fd = open(big.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, head.data(), 2880, 0), 2880);
        const off_t at = off_t(2880 + primary_data);
        ASSERT_EQ(pwrite(fd, rest.data(), rest.size(), at), ssize_t(rest.size()));
        close(fd);
    }
    const ToolRun small_run = run_tolv(small);
    ASSERT_EQ(small_run.status, 0);
    const ToolRun run = run_tolv({big, small[1]});
    if (sizeof(void *) < 8) {
        // The address space cannot hold the file.
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("mmap: ", 0), 0u);
        EXPECT_NE(run.err.find("Couldn't open file " + big + "\n"), std::string::npos);
        return;
    }
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, small_run.out);
    const auto corrected = read(small[0]);
    const size_t ext_bytes = corrected.size() - 2880;
    std::vector<unsigned char> tail(ext_bytes);
    const int fd = open(big.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, tail.data(), ext_bytes, off_t(2880 + primary_data)), ssize_t(ext_bytes));
    close(fd);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), corrected.begin() + 2880));
}

// A TAB in the text of a COMMENT card, another control byte in a HISTORY card: the
// stream reader takes such headers, and so does tolv, which corrects the mosaic as it
// corrects the same mosaic with blanks in their place.
TEST(tolv, commentary_text_with_a_tab_is_corrected_like_any_other)
{
    const Scene scene{37, 23, 3, 2};
    std::vector<std::vector<unsigned char>> outputs;
    std::vector<std::string> tables;
    for (const std::string &gap : {std::string("\t"), std::string(" ")}) {
        TestDir dir;
        const auto args = scene.write_files(dir);
        std::vector<Unit> units = scene.science();
        for (Unit &u : {std::ref(units[1]), std::ref(units[3])}) {
            std::string comment = "COMMENT " + gap + "flat field" + gap + "v2", history = "HISTORY  dark" + gap;
            comment.resize(80, ' ');
            history.resize(80, ' ');
            if (gap == "\t") history[20] = '\x1b';
            u.cards.push_back(comment);
            u.cards.push_back(history);
        }
        write(args[0], file_bytes(units));
        std::vector<std::string> no_record = args;
        no_record.insert(no_record.begin(), "--no-record");
        const ToolRun run = run_tolv(no_record);
        EXPECT_EQ(run.status, 0) << gap;
        EXPECT_EQ(run.err, "") << gap;
        tables.push_back(run.out);
        outputs.push_back(read(args[0]));
        // The stream and the mapping readers find the same last extension.
        FITSHead streamed = nullptr, mapped = nullptr;
        void *pixels = nullptr, *in_place = nullptr;
        void **view = nullptr;
        ASSERT_EQ(ft_simpleimageread((args[0] + "[3]").c_str(), &streamed, &pixels, nullptr, 0), 1);
        ASSERT_EQ(ft_simpleimagemmap((args[0] + "[3]").c_str(), &mapped, &in_place, &view, PROT_READ, MAP_SHARED), 1);
        EXPECT_EQ(std::string(streamed->cards->c, std::size_t(streamed->ncard) * 80),
                  std::string(mapped->cards->c, std::size_t(mapped->ncard) * 80));
        EXPECT_EQ(std::memcmp(pixels, in_place, std::size_t(mapped->basic->databytes)), 0);
        std::free(pixels);
        std::free(view);
        ft_headfree(streamed, 1);
        ft_headfree(mapped, 0);
        // With its record written into the headers too.
        write(args[0], file_bytes(units));
        const ToolRun recorded = run_tolv(args);
        EXPECT_EQ(recorded.status, 0) << gap;
        EXPECT_EQ(recorded.err, "") << gap;
    }
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(tables[0], tables[1]);
    EXPECT_NE(tables[0], "");
    // The corrected files differ in the bytes that differed, and nowhere else.
    ASSERT_EQ(outputs[0].size(), outputs[1].size());
    std::size_t differ = 0;
    for (std::size_t i = 0; i < outputs[0].size(); i++) differ += outputs[0][i] != outputs[1][i];
    EXPECT_EQ(differ, 2u * 4u);
}
