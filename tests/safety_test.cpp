// The in-place run under misuse and interruption, through real processes on real
// files: the science file named again as a fringe file, two runs at once, kills at
// every step of a write-back and at random moments, inputs that are not FITS files
// or not regular files, damaged units, a dead CCD, a file cut short underneath.
#include "interrupted_run.h"
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace unitbytes;
using namespace interrupted;

namespace {

using Bytes = std::vector<unsigned char>;


bool exists(const std::string &name) { return access(name.c_str(), F_OK) == 0; }

std::string journal_of(const std::string &science) { return science + ".tolv-journal"; }

const std::string kBanner = "Tessaly run-time error...\nSingular matrix in routine LUDCMP\n...now exiting to system...\n";

} // namespace

TEST(safety, the_science_file_named_again_is_refused)
{
    TestDir dir;
    const auto args = write_scene(dir, 16, 12, 3, 1);
    const Bytes before = read(args[0]);
    const std::string base = args[0].substr(args[0].rfind('/') + 1);
    ASSERT_EQ(symlink(args[0].c_str(), dir.file("link.fits").c_str()), 0);
    ASSERT_EQ(link(args[0].c_str(), dir.file("hard.fits").c_str()), 0);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    for (const std::string &alias : {args[0], "./" + base, dir.file("link.fits"), dir.file("hard.fits"), args[0] + "[1]",
                                     dir.path + "/../" + dir.path.substr(dir.path.rfind('/') + 1) + "/" + base}) {
        const ToolRun run = run_tolv({args[0], args[1], alias});
        EXPECT_EQ(run.status, 1) << alias;
        EXPECT_EQ(run.out, "") << alias;
        EXPECT_EQ(run.err, "tolv: " + alias + ": the same file as the science file " + args[0] + "; nothing was done\n")
            << alias;
        EXPECT_EQ(read(args[0]), before) << alias;
    }
    ASSERT_EQ(chdir("/"), 0);
}

TEST(safety, one_run_per_file)
{
    TestDir dir;
    const auto args = write_scene(dir, 64, 48, 4, 2);
    const Reference ref = reference_run(dir, args);
    const Bytes before = read(args[0]);
    {
        // Another process holds the lock: refused at once, nothing touched.
        const int fd = open(args[0].c_str(), O_RDONLY);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);
        const ToolRun run = run_tolv(args);
        close(fd);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "tolv: " + args[0] + ": another tolv is correcting this file; nothing was done\n");
        EXPECT_EQ(read(args[0]), before);
    }
    {
        // A second tolv while the first is stopped between two write-backs; the first
        // then finishes as if alone.
        Started first(TOLV_INJECT_BINARY, args, "done:2:stop");
        ASSERT_EQ(first.wait_stopped(), true);
        const ToolRun second = run_tolv(args);
        EXPECT_EQ(second.status, 1);
        EXPECT_EQ(second.err, "tolv: " + args[0] + ": another tolv is correcting this file; nothing was done\n");
        kill(first.pid, SIGCONT);
        const ToolRun run = first.finish();
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, ref.table);
        EXPECT_EQ(read(args[0]), ref.corrected);
        EXPECT_EQ(exists(journal_of(args[0])), false);
    }
}

// A kill at each step of a write-back of each extension, the half-written one
// included; the same command run again gives the uninterrupted run's file and table.
TEST(safety, killed_at_every_step_then_run_again)
{
    TestDir dir;
    const auto args = write_scene(dir, 40, 30, 3, 2);
    const Bytes original = read(args[0]);
    const Reference ref = reference_run(dir, args);
    for (const char *point : {"saved", "half", "stored", "synced", "done"})
        for (int e = 1; e <= 3; e++) {
            const std::string what = std::string(point) + ":" + std::to_string(e);
            write(args[0], original);
            Started killed(TOLV_INJECT_BINARY, args, what + ":kill");
            EXPECT_EQ(killed.finish().status, -1) << what;
            EXPECT_EQ(exists(journal_of(args[0])), true) << what;
            const ToolRun again = run_tolv(args);
            EXPECT_EQ(again.status, 0) << what << again.err;
            EXPECT_EQ(again.out, ref.table) << what;
            EXPECT_EQ(read(args[0]) == ref.corrected, true) << what;
            EXPECT_EQ(exists(journal_of(args[0])), false) << what;
        }
    // Killed after the last extension, before the journal is removed.
    write(args[0], original);
    Started killed(TOLV_INJECT_BINARY, args, "end:0:kill");
    killed.finish();
    const ToolRun again = run_tolv(args);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, ref.table);
    EXPECT_EQ(read(args[0]), ref.corrected);
    // Killed half way through a write-back, then run again with another fringe
    // frame: refused, naming the run to finish; the half-written extension is
    // already put back, so the file holds whole extensions only.
    write(args[0], original);
    Started half(TOLV_INJECT_BINARY, args, "half:2:kill");
    half.finish();
    const ToolRun other = run_tolv({args[0], args[1]});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.err, "tolv: " + args[0] + ": an interrupted run with other fringe files (" + args[1] + " " +
                             args[2] + ") or settings left its journal " + journal_of(args[0]) + "; run that command again to finish it\n");
    const Bytes now = read(args[0]);
    const size_t unit = 2880 + (40 * 30 * 4 + 2879) / 2880 * 2880, ext2 = 2880 + unit + 2880;
    EXPECT_EQ(Bytes(now.begin() + long(ext2), now.begin() + long(ext2 + 40 * 30 * 4)),
              Bytes(original.begin() + long(ext2), original.begin() + long(ext2 + 40 * 30 * 4)));
    EXPECT_EQ(run_tolv(args).status, 0);
    EXPECT_EQ(read(args[0]), ref.corrected);
}

// SIGKILL at random moments of a run of eight extensions, each followed by the same
// command: whenever the kill lands, the result is the uninterrupted one.
TEST(safety, killed_at_random_moments_then_run_again)
{
    TestDir dir;
    const auto args = write_scene(dir, 256, 192, 8, 2);
    const Bytes original = read(args[0]);
    const Reference ref = reference_run(dir, args);
    // The length of a whole run here and now sets the range of the moments.
    write(args[0], original);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run_tolv(args).status, 0);
    const auto whole = std::chrono::steady_clock::now() - t0;
    std::mt19937 pick(2026);
    int interrupted = 0;
    for (int i = 0; i < 24; i++) {
        write(args[0], original);
        const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(whole * (double(pick() % 1000) / 1000.0));
        Started victim(TOLV_BINARY, args);
        std::this_thread::sleep_for(delay);
        kill(victim.pid, SIGKILL);
        const ToolRun first = victim.finish();
        interrupted += first.status == -1;
        // Without a journal the file is whole: untouched, or corrected by a run that
        // ended (or was killed after its last step); with one, the same command
        // finishes the job.
        if (!exists(journal_of(args[0]))) {
            const Bytes now = read(args[0]);
            EXPECT_EQ(now == original || now == ref.corrected, true) << i << " after " << delay.count() << " us";
            if (now == ref.corrected) continue;
        }
        const ToolRun again = run_tolv(args);
        EXPECT_EQ(again.status, 0) << i << again.err;
        EXPECT_EQ(again.out == ref.table, true) << i << " after " << delay.count() << " us: " << again.err;
        EXPECT_EQ(read(args[0]) == ref.corrected, true) << i;
        EXPECT_EQ(exists(journal_of(args[0])), false) << i;
    }
    // How many kills landed inside a run depends on the machine; the checks above
    // hold either way.  Shown so that a run that interrupted nothing is seen.
    std::printf("killed %d of 24 runs before they ended\n", interrupted);
}

TEST(safety, inputs_that_are_no_fits_file_are_named)
{
    TestDir dir;
    const auto args = write_scene(dir, 8, 6, 2, 1);
    const Bytes before = read(args[0]);
    struct Case {
        std::string name, reason;
    };
    const std::string fifo = dir.file("fifo.fits"), text = dir.file("notes.txt"), gz = dir.file("s.fits.gz"),
                      fz = dir.file("s.fits.fz");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    write(text, Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    write(gz, Bytes{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3});
    // A tile-compressed image: a binary table with ZIMAGE = T.
    Unit table;
    table.cards = {card("XTENSION", str("BINTABLE")), card("BITPIX", "8"), card("NAXIS", "2"), card("NAXIS1", "8"),
                   card("NAXIS2", "6"), card("PCOUNT", "0"), card("GCOUNT", "1"), card("TFIELDS", "1"),
                   card("TFORM1", str("1PB(10)")), card("ZIMAGE", "T"), card("ZBITPIX", "-32")};
    table.data = Bytes(48, 0);
    write(fz, file_bytes({primary(), table}));
    const std::vector<Case> cases = {{fifo, "not a regular file"},
                                     {"/dev/null", "not a regular file"},
                                     {dir.path, "a directory"},
                                     {text, "not a FITS file"},
                                     {gz, "gzip-compressed: decompress it first (gunzip)"},
                                     {fz, "tile-compressed (fpack): uncompress it first (funpack)"}};
    for (const Case &c : cases)
        for (int as_science = 0; as_science < 2; as_science++) {
            const std::vector<std::string> command = as_science ? std::vector<std::string>{c.name, args[1]}
                                                                : std::vector<std::string>{args[0], c.name};
            const ToolRun run = run_tolv(command);
            EXPECT_EQ(run.status, 1) << c.name;
            EXPECT_EQ(run.out, "") << c.name;
            EXPECT_EQ(run.err, "tolv: " + c.name + ": " + c.reason + "\nCouldn't open file " + c.name + "\n") << c.name;
        }
    EXPECT_EQ(read(args[0]), before);
}

// Damaged units and files cut short: refused before anything is written, naming
// the extension and what is wrong with it.
TEST(safety, damaged_extension_2_of_4_is_refused_before_writing)
{
    TestDir dir;
    const int nx = 30, ny = 20;
    const auto args = write_scene(dir, nx, ny, 4, 1);
    const Bytes whole = read(args[0]);
    const size_t unit = 2880 + (size_t(nx) * ny * 4 + 2879) / 2880 * 2880, ext2 = 2880 + unit;
    auto with_card = [&](const std::string &key, const std::string &value) {
        Bytes b = whole;
        for (size_t at = ext2; at < ext2 + 2880; at += 80)
            if (std::string(b.begin() + long(at), b.begin() + long(at + 8)) == (key + "        ").substr(0, 8)) {
                const std::string c = card(key, value);
                std::copy(c.begin(), c.end(), b.begin() + long(at));
            }
        return b;
    };
    struct Case {
        std::string what;
        Bytes bytes;
        std::string reason;
    };
    std::vector<Case> cases;
    {
        Bytes b = whole;
        for (size_t at = ext2; at < ext2 + 2880; at += 80)
            if (std::string(b.begin() + long(at), b.begin() + long(at + 3)) == "END") b[at] = ' ';
        cases.push_back({"END missing", b, "its header has no END card"});
    }
    cases.push_back({"NAXIS2 negative", with_card("NAXIS2", "-1"), "NAXIS2 -1 is not valid"});
    cases.push_back({"GCOUNT -1", with_card("GCOUNT", "-1"), "GCOUNT -1 is not valid"});
    {
        Bytes b = with_card("NAXIS1", "65536");
        const Bytes c = with_card("NAXIS2", "65537");
        std::copy(c.begin() + long(ext2), c.begin() + long(ext2 + 2880), b.begin() + long(ext2));
        cases.push_back({"65536 x 65537 with the file short", b, "the file ends inside its data"});
    }
    cases.push_back({"NAXIS2 2147483647", with_card("NAXIS2", "2147483647"), "the file ends inside its data"});
    {
        Bytes b = whole;
        b[ext2 + 2] = 0xc9;
        cases.push_back({"a non-ASCII XTENSION", b, ""});
    }
    for (size_t u = 1; u <= 4; u++) {
        const size_t start = 2880 + (u - 1) * unit;
        for (size_t cut : {start + 5, start + 1000, start + 2880 + 7, start + unit - 2880 + size_t(nx) * ny * 4 - 1})
            cases.push_back({"cut at " + std::to_string(cut), Bytes(whole.begin(), whole.begin() + long(cut)),
                             "truncated"});
    }
    for (const Case &c : cases) {
        write(args[0], c.bytes);
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.out, "") << c.what;
        const bool names_a_unit = run.err.rfind("tolv: " + args[0] + ": extension ", 0) == 0;
        EXPECT_EQ(names_a_unit, true) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.what << ": " << run.err;
        EXPECT_EQ(read(args[0]), c.bytes) << c.what;
        EXPECT_EQ(exists(journal_of(args[0])), false) << c.what;
    }
}

// A dead CCD (every pixel NaN) is left as it is with a note; the others are
// corrected as in a run without it.
TEST(safety, a_dead_ccd_is_left_as_it_is)
{
    TestDir dir;
    const int nx = 24, ny = 18;
    const auto args = write_scene(dir, nx, ny, 3, 1);
    const Reference ref = reference_run(dir, args);
    Bytes b = read(args[0]);
    const size_t unit = 2880 + (size_t(nx) * ny * 4 + 2879) / 2880 * 2880, data2 = 2880 + unit + 2880;
    for (size_t p = 0; p < size_t(nx) * ny; p++) {
        const unsigned char nan[4] = {0x7f, 0xc0, 0, 0};
        std::copy(nan, nan + 4, b.begin() + long(data2 + 4 * p));
    }
    write(args[0], b);
    const ToolRun run = run_tolv(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "tolv: " + args[0] + ": extension 2: no pixel has a finite value (a dead CCD?); left as it is\n");
    // The table without extension 2's rows.
    std::string expected_table;
    for (size_t at = 0, next; at < ref.table.size(); at = next) {
        next = ref.table.find('\n', at) + 1;
        if (ref.table.compare(at, 2, "2\t") != 0) expected_table += ref.table.substr(at, next - at);
    }
    EXPECT_EQ(run.out, expected_table);
    const Bytes after = read(args[0]);
    auto unit_of = [&](const Bytes &bytes, size_t e) {
        return Bytes(bytes.begin() + long(2880 + (e - 1) * unit), bytes.begin() + long(2880 + e * unit));
    };
    EXPECT_EQ(unit_of(after, 2), unit_of(b, 2));
    EXPECT_EQ(unit_of(after, 1), unit_of(ref.corrected, 1));
    EXPECT_EQ(unit_of(after, 3), unit_of(ref.corrected, 3));
}

// The science file cut short by another program while tolv waits between two
// extensions: the fault is reported with the file and extension, status 1, whether
// the fit meets it (a bus error in the mapping) or the journal (a failed copy).
TEST(safety, a_file_cut_short_underneath_is_reported)
{
    TestDir dir;
    const int nx = 64, ny = 45;  // one extension's data fill whole blocks
    const size_t unit = 2880 + size_t(nx) * ny * 4;
    for (const char *stop : {"stored:1:stop", "done:1:stop"}) {
        // One worker: extension 3 is not read before extension 2 is written.
        auto args = write_scene(dir, nx, ny, 3, 1);
        args.insert(args.begin(), {"-j", "1"});
        Started run(TOLV_INJECT_BINARY, args, stop);
        ASSERT_EQ(run.wait_stopped(), true) << stop;
        ASSERT_EQ(truncate(args[2].c_str(), off_t(2880 + unit + 2880)), 0);  // extension 2's header only
        kill(run.pid, SIGCONT);
        const ToolRun r = run.finish();
        EXPECT_EQ(r.status, 1) << stop;
        EXPECT_EQ(r.err, "tolv: " + args[2] +
                             ": extension 2: the file could not be read or written (cut short by another program, "
                             "or a disk error); run the same command again to recover\n")
            << stop;
        // The same command cannot finish a run on a file cut short; the way out
        // its refusal names removes the journal and the file's mark.
        const ToolRun again = run_tolv({args[2], args[3]});
        EXPECT_EQ(again.status, 1) << stop;
        EXPECT_NE(again.err.find("bytes now (cut short or added to by another program)"), std::string::npos) << again.err;
        EXPECT_NE(again.err.find("`tolv --drop-journal " + args[2] + "`"), std::string::npos) << again.err;
        EXPECT_EQ(run_tolv({"--drop-journal", args[2]}).status, 0) << stop;
        EXPECT_FALSE(exists(journal_of(args[2]))) << stop;
    }
}
