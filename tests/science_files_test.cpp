// Many exposures in one command (tolv -f FRINGE ... SCIENCE ...), and the ordinary
// mistakes of a night's work: real processes on real files, compared byte for byte
// with the runs of one file each.
#include "interrupted_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace interrupted;

namespace {

// Exposures exp0.fits ... of `extensions[i]` extensions of 40 x 30 each (other
// noise each), and two fringe frames of `fringe_units` extensions.
struct Night {
    TestDir dir, refs;
    std::vector<std::string> exposures, fringes;
    Night(const std::vector<int> &extensions, int fringe_units)
    {
        for (size_t i = 0; i < extensions.size(); i++) {
            const auto args = write_scene(dir, 40, 30, extensions[i], 0, unsigned(11 + i));
            exposures.push_back(dir.file("exp" + std::to_string(i) + ".fits"));
            std::rename(args[0].c_str(), exposures.back().c_str());
        }
        const auto args = write_scene(dir, 40, 30, fringe_units, 2);
        fringes = {args[1], args[2]};
    }
    // What `tolv EXPOSURE FRINGES` alone gives on a copy of exposure i as it is now.
    ToolRun alone(size_t i, Bytes *bytes) const
    {
        const std::string copy = refs.file("exp" + std::to_string(i) + ".fits");
        write(copy, read(exposures[i]));
        const ToolRun run = run_tolv({copy, fringes[0], fringes[1]});
        *bytes = read(copy);
        return run;
    }
};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

} // namespace

// Five exposures, the third cut short: each file and its table are those of its
// own run, the broken one is left as it was, and the status is 1.  The same
// command again skips the four corrected ones.
TEST(science_files, each_is_corrected_as_its_own_run_and_one_broken_fails_alone)
{
    Night night({3, 3, 3, 3, 3}, 3);
    const Bytes whole = read(night.exposures[2]);
    write(night.exposures[2], Bytes(whole.begin(), whole.begin() + long(whole.size() / 2)));
    std::vector<Bytes> expected(5);
    std::string table;
    for (size_t i = 0; i < 5; i++) {
        const ToolRun one = night.alone(i, &expected[i]);
        EXPECT_EQ(one.status, i == 2 ? 1 : 0) << i << one.err;
        table += "# " + night.exposures[i] + "\n" + one.out;
    }
    const std::string list = night.dir.file("fringes.txt");
    write(list, [&] {
        const std::string text = "# the second fringe frame\n\n  " + night.fringes[1] + "  \n";
        return Bytes(text.begin(), text.end());
    }());
    std::vector<std::string> args = {"-f", night.fringes[0], "--fringe", "@" + list};
    args.insert(args.end(), night.exposures.begin(), night.exposures.end());
    const ToolRun all = run_tolv(args);
    EXPECT_EQ(all.status, 1) << all.err;
    EXPECT_EQ(all.out, table);
    for (size_t i = 0; i < 5; i++) EXPECT_EQ(read(night.exposures[i]) == expected[i], true) << i;
    EXPECT_TRUE(contains(all.err, night.exposures[2] + ": ")) << all.err;
    EXPECT_TRUE(contains(all.err, "tolv: 5 science files: 4 corrected, 0 skipped, 1 failed\n")) << all.err;
    for (size_t i : {0, 1, 3, 4})
        EXPECT_TRUE(contains(all.err, "tolv: " + night.exposures[i] + ": 3 extensions corrected in ")) << all.err;

    const ToolRun again = run_tolv(args);
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "tolv: 5 science files: 0 corrected, 4 skipped, 1 failed\n")) << again.err;
    for (size_t i = 0; i < 5; i++) EXPECT_EQ(read(night.exposures[i]) == expected[i], true) << i;
}

// Killed (SIGKILL) half way through the second file's second extension: the same
// command finishes that file from its journal and corrects the third, and every
// file ends as its own uninterrupted run.
TEST(science_files, killed_in_the_middle_the_same_command_finishes_the_rest)
{
    Night night({1, 3, 3}, 3);
    std::vector<Bytes> expected(3);
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(night.alone(i, &expected[i]).status, 0) << i;
    std::vector<std::string> args = {"-f", night.fringes[0], "-f", night.fringes[1]};
    args.insert(args.end(), night.exposures.begin(), night.exposures.end());
    Started killed(TOLV_INJECT_BINARY, args, "half:2:kill");
    EXPECT_EQ(killed.finish().status, -1);
    EXPECT_EQ(read(night.exposures[0]) == expected[0], true);
    EXPECT_NE(read(night.exposures[1]), expected[1]);
    const ToolRun again = run_tolv(args);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(contains(again.err, "tolv: 3 science files: 2 corrected, 1 skipped, 0 failed\n")) << again.err;
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(read(night.exposures[i]) == expected[i], true) << i;
}

// The names given in the wrong order, a glob that takes in corrected exposures,
// a file named twice under two names, an option after the file names: each is
// refused before anything changes, whichever form names the files.
TEST(science_files, mistakes_of_a_night_are_refused_before_anything_changes)
{
    Night night({3, 3}, 3);
    Bytes corrected;
    ASSERT_EQ(night.alone(0, &corrected).status, 0);
    write(night.exposures[0], corrected); // exp0 is corrected, exp1 is not
    const std::string link = night.dir.file("same-as-exp1.fits");
    ASSERT_EQ(::link(night.exposures[1].c_str(), link.c_str()), 0);
    const Bytes exp1 = read(night.exposures[1]), fringe0 = read(night.fringes[0]);
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const std::string &f0 = night.fringes[0], &f1 = night.fringes[1], &e0 = night.exposures[0],
                      &e1 = night.exposures[1];
    const std::vector<Case> cases = {
        // tolv exp*.fits fringe0.fits: exp1 corrected with exp0 as a fringe frame
        {{e1, e0, f0}, e0 + ": extension 1: expected a fringe frame, found an exposure corrected at "},
        // the order swapped: the fringe master as the science file
        {{f0, e0}, e0 + ": extension 1: expected a fringe frame, found an exposure corrected at "},
        {{"-f", f0, "-f", e0, e1}, e0 + ": extension 1: expected a fringe frame, found an exposure corrected at "},
        {{e1, f0, f0}, f0 + ": the same file as the fringe frame " + f0 + "; nothing was done"},
        {{"-f", f0, "-f", f1, e1, link}, link + ": the same file as the science file " + e1 + "; nothing was done"},
        {{"-f", f0, "-f", f1, e1, "./" + f0.substr(f0.rfind('/') + 1)}, ": the same file as the fringe frame " + f0},
        {{e1, f0, f1, "-n"}, "tolv: -n: options go before the file names\nUsage: tolv file fringefile1"},
        {{"-f", f0, e1, "--dry-run=1"}, "tolv: --dry-run: options go before the file names\n"},
        {{"-f", f0, "-o", night.dir.file("out.fits"), e0, e1}, "--output writes one file, so it takes one science"},
    };
    for (const Case &c : cases) {
        const bool in_dir = c.args.back().rfind("./", 0) == 0;
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        if (in_dir) {
            ASSERT_EQ(chdir(night.dir.path.c_str()), 0);
        }
        const ToolRun run = run_tolv(c.args);
        if (in_dir) {
            ASSERT_EQ(chdir(here), 0);
        }
        EXPECT_EQ(run.status, 1) << c.said;
        EXPECT_TRUE(contains(run.err, c.said)) << run.err;
        EXPECT_EQ(read(night.exposures[0]) == corrected, true) << c.said;
        EXPECT_EQ(read(night.exposures[1]) == exp1, true) << c.said;
        EXPECT_EQ(read(night.fringes[0]) == fringe0, true) << c.said;
    }
    // After --, a name that looks like an option is a file's; so is one a file has.
    const ToolRun named = run_tolv({"--", e1, f0, "-n"});
    EXPECT_EQ(named.status, 1);
    EXPECT_TRUE(contains(named.err, "-n: No such file or directory")) << named.err;
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(night.dir.path.c_str()), 0);
    write("-old-fringe.fits", read(f1));
    const ToolRun file = run_tolv({"-n", e1, f0, "-old-fringe.fits"});
    ASSERT_EQ(chdir(here), 0);
    EXPECT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(rows_of(file.out).size(), 15u);
}
