// The in-place run under misuse and interruption, through real processes on real
// files: the science file named again as a fringe file, two runs at once, kills at
// every step of a write-back and at random moments, inputs that are not FITS files
// or not regular files, damaged units, a dead CCD, a file cut short underneath.
#include "interrupted_run.h"
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
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

std::set<std::string> names_in(const TestDir &dir)
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path)) names.insert(entry.path().filename());
    return names;
}

std::vector<Bytes> contents(const std::vector<std::string> &names)
{
    std::vector<Bytes> c;
    for (const auto &n : names) c.push_back(read(n));
    return c;
}

// Whether the filesystem of `dir` makes unnamed files that /proc/self/fd can
// reach, as tolv's copy for -o needs (it falls back to a named temporary).
bool makes_unnamed_files(const std::string &dir)
{
#ifdef O_TMPFILE
    const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat own, seen;
    const bool reached = fstat(fd, &own) == 0 && stat(("/proc/self/fd/" + std::to_string(fd)).c_str(), &seen) == 0 &&
                         own.st_ino == seen.st_ino;
    close(fd);
    return reached;
#else
    (void)dir;
    return false;
#endif
}

// The files under `dir` the process holds open, other than `inputs` (names in dir).
std::vector<std::string> held_besides(pid_t pid, const TestDir &dir, const std::set<std::string> &inputs)
{
    std::vector<std::string> held;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    // readdir rather than a directory_iterator, which throws when the process
    // ends under it.
    DIR *d = opendir(fds.c_str());
    for (const dirent *entry; d && (entry = readdir(d));) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string t(target, size_t(n));
        if (t.rfind(dir.path + "/", 0) == 0 && !inputs.count(t.substr(dir.path.size() + 1))) held.push_back(t);
    }
    if (d) closedir(d);
    return held;
}

// tolv started with descriptor `closed` (0, 1 or 2) closed; the others in files.
ToolRun run_with_closed(int closed, const std::vector<std::string> &args)
{
    Args line;
    const std::vector<char *> argv = exec_argv(line, TOLV_BINARY, args);
    char out_name[] = "/tmp/tolv_out_XXXXXX", err_name[] = "/tmp/tolv_err_XXXXXX";
    const int out_fd = mkstemp(out_name), err_fd = mkstemp(err_name);
    unlink(out_name);
    unlink(err_name);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        close(out_fd);
        close(err_fd);
        close(closed);
        execv(argv[0], argv.data());
        _exit(97);
    }
    ToolRun r;
    int ws = 0;
    if (pid > 0 && waitpid(pid, &ws, 0) == pid) r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    r.out = slurp_fd(out_fd);
    r.err = slurp_fd(err_fd);
    close(out_fd);
    close(err_fd);
    return r;
}

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
    // A gzip header with nothing after it, and a tile-compressed image (a binary
    // table with ZIMAGE = T) that does not say its axes.
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
#ifdef TOLV_HAVE_ZLIB
                                     {gz, "gzip-compressed, and the gzip stream ends early: the file is cut short"},
#else
                                     {gz, "gzip-compressed, and this tolv was built without zlib: decompress it first (gunzip)"},
#endif
                                     {fz, "extension 1: ZNAXIS is missing or not an integer"}};
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

// Names given to -o are plain paths: brackets select no unit.  The file of the
// name before the brackets (the science file, a fringe frame, another file) stays
// as it was, and the copy is made under exactly the name given, with or without
// a file there to replace, and no temporary left beside it.
TEST(safety, output_names_with_brackets_are_plain_paths)
{
    TestDir dir, elsewhere;
    const auto args = write_scene(dir, 24, 16, 3, 2);
    const Reference ref = reference_run(dir, args);
    const std::string other = dir.file("exp2.fits");
    write(other, read(write_scene(elsewhere, 24, 16, 3, 1, 11)[0]));
    std::vector<std::string> files = args;
    files.push_back(other);
    const std::vector<Bytes> before = contents(files);
    std::set<std::string> listed = names_in(dir);
    for (const std::string name : {"science.fits[1]", "fringe0.fits[1]", "exp2.fits[SCI]"})
        for (const bool overwrite : {false, true}) {
            const std::string what = name + (overwrite ? " --overwrite" : "");
            const std::string out = dir.file(name);
            const ToolRun run = run_tolv(with(overwrite ? Args{"--overwrite", "-o", out} : Args{"-o", out}, args));
            EXPECT_EQ(outcome(run), outcome({0, ref.table, ""})) << what;
            EXPECT_EQ(read(out) == ref.corrected, true) << what;
            EXPECT_EQ(contents(files) == before, true) << what;
            listed.insert(name);
            EXPECT_EQ(names_in(dir), listed) << what;
            EXPECT_EQ(exists(journal_of(args[0])), false) << what;
        }
}

// A run with -o killed at any moment leaves no temporary file behind: the copy
// has no name until it is put in place.  Killed by the fault-injection build
// after the last extension, stopped there and killed, and killed for real while
// it holds its copy open, at several moments of the run.
TEST(safety, a_killed_output_run_leaves_no_temporary_file)
{
    TestDir dir;
    if (!makes_unnamed_files(dir.path))
        GTEST_SKIP() << "the filesystem of " << dir.path
                     << " makes no unnamed files: tolv uses a named temporary there";
    const auto args = write_scene(dir, 256, 192, 8, 2);
    const std::vector<Bytes> before = contents(args);
    const std::set<std::string> inputs = names_in(dir);
    const std::string out = dir.file("out.fits");
    for (const char *how : {"end:0:kill", "end:0:stop"}) {
        Started run(TOLV_INJECT_BINARY, with({"-o", out}, args), how);
        if (run.wait_stopped()) kill(run.pid, SIGKILL);
        EXPECT_EQ(run.finish().status, -1) << how;
        EXPECT_EQ(names_in(dir), inputs) << how;
    }
    // With a file to replace, which stays as it was.
    const Bytes old = {'o', 'l', 'd', '\n'};
    write(out, old);
    {
        Started run(TOLV_INJECT_BINARY, with({"--overwrite", "-o", out}, args), "end:0:kill");
        EXPECT_EQ(run.finish().status, -1);
        EXPECT_EQ(read(out), old);
        std::set<std::string> with_old = inputs;
        with_old.insert("out.fits");
        EXPECT_EQ(names_in(dir), with_old);
        unlink(out.c_str());
    }
    ASSERT_EQ(run_tolv(with({"-o", out}, args)).status, 0);
    const Bytes whole = read(out);
    unlink(out.c_str());
    int caught = 0;
    for (int i = 0; i < 6; i++) {
        Started run(TOLV_BINARY, with({"-o", out}, args));
        bool holds = false;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!holds && !run.ended() && std::chrono::steady_clock::now() < give_up)
            holds = !held_besides(run.pid, dir, inputs).empty();
        std::this_thread::sleep_for(std::chrono::milliseconds(8 * i));
        kill(run.pid, SIGKILL);
        const ToolRun r = run.finish();
        if (exists(out)) {
            // The kill came once the copy was in place (or the run ended first):
            // it is whole.
            EXPECT_EQ(read(out) == whole, true) << i;
            unlink(out.c_str());
        } else {
            caught += holds && r.status == -1;
        }
        EXPECT_EQ(names_in(dir), inputs) << i;
    }
    // A test whose kills all came too late would show nothing.
    std::printf("killed %d of 6 runs while they held their copy\n", caught);
    EXPECT_GT(caught, 0);
    EXPECT_EQ(contents(args) == before, true);
}

// With descriptor 0, 1 or 2 closed, no file tolv opens takes its place: the
// table and the messages would be written into it.  An in-place run, a run with
// -o and a refused run each leave the files as they are with every descriptor
// open.
TEST(safety, closed_standard_descriptors_never_become_a_file)
{
    TestDir dir, elsewhere;
    const auto args = write_scene(dir, 24, 16, 3, 2);
    const Bytes original = read(args[0]);
    const Reference ref = reference_run(dir, args);
    const std::vector<Bytes> fringes = contents({args[1], args[2]});
    // A fringe frame of another size: refused after the science file is open.
    const std::string small = dir.file("small.fits");
    write(small, read(write_scene(elsewhere, 12, 8, 3, 1)[1]));
    const ToolRun refusal = run_tolv({args[0], small});
    ASSERT_EQ(refusal.status, 1);
    const std::string out = dir.file("out.fits");
    for (int closed = 0; closed <= 2; closed++) {
        const std::string what = "descriptor " + std::to_string(closed) + " closed";
        write(args[0], original);
        const ToolRun in_place = run_with_closed(closed, args);
        EXPECT_EQ(outcome(in_place), outcome({0, closed == 1 ? "" : ref.table, ""})) << what;
        EXPECT_EQ(read(args[0]) == ref.corrected, true) << what;
        EXPECT_EQ(exists(journal_of(args[0])), false) << what;

        write(args[0], original);
        const ToolRun copy = run_with_closed(closed, with({"-o", out}, args));
        EXPECT_EQ(outcome(copy), outcome({0, closed == 1 ? "" : ref.table, ""})) << what;
        EXPECT_EQ(read(out) == ref.corrected, true) << what;
        EXPECT_EQ(read(args[0]) == original, true) << what;
        unlink(out.c_str());

        const ToolRun refused = run_with_closed(closed, {args[0], small});
        EXPECT_EQ(outcome(refused), outcome({1, "", closed == 2 ? "" : refusal.err})) << what;
        EXPECT_EQ(read(args[0]) == original, true) << what;
        EXPECT_EQ(contents({args[1], args[2]}) == fringes, true) << what;
    }
}

// SIGINT, SIGTERM and SIGHUP, sent while a run is stopped at a step of its
// write-back, end it by that signal once the extension being stored is whole,
// with one line saying where it stopped; the same command then finishes the
// job as one uninterrupted run.  With -o and -n the line says nothing was
// written, and nothing was.
TEST(safety, an_interrupted_run_says_where_it_stopped)
{
    TestDir dir;
    const auto args = write_scene(dir, 40, 30, 4, 2);
    const Bytes original = read(args[0]);
    const Reference ref = reference_run(dir, args);
    const std::string head = "tolv: " + args[0] + ": interrupted ";
    auto corrected = [&](const char *signal, int n) {
        return head + signal + " with " + std::to_string(n) +
               " of 4 extensions corrected; run the same command again to finish it\n";
    };
    struct Case {
        std::string stop;
        int signal;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"saved:1", SIGTERM, head + "(SIGTERM); nothing was changed; run the same command again to correct it\n"},
        {"half:2", SIGINT, corrected("(SIGINT)", 1)},
        {"stored:3", SIGHUP, corrected("(SIGHUP)", 2)},
        {"synced:3", SIGTERM, corrected("(SIGTERM)", 2)},
        {"done:3", SIGINT, corrected("(SIGINT)", 3)},
        {"end:0", SIGHUP, corrected("(SIGHUP)", 4)},
    };
    for (const Case &c : cases) {
        write(args[0], original);
        Started run(TOLV_INJECT_BINARY, args, c.stop + ":stop");
        ASSERT_EQ(run.wait_stopped(), true) << c.stop;
        kill(run.pid, c.signal);
        kill(run.pid, SIGCONT);
        const ToolRun r = run.finish();
        EXPECT_EQ(r.err, c.line) << c.stop;
        EXPECT_EQ(run.signal_that_ended(), c.signal) << c.stop;
        EXPECT_EQ(exists(journal_of(args[0])), true) << c.stop;
        const ToolRun again = run_tolv(args);
        EXPECT_EQ(again.status, 0) << c.stop << again.err;
        EXPECT_EQ(again.out, ref.table) << c.stop;
        EXPECT_EQ(read(args[0]) == ref.corrected, true) << c.stop;
        EXPECT_EQ(exists(journal_of(args[0])), false) << c.stop;
    }
    write(args[0], original);
    const std::string out = dir.file("out.fits");
    const std::set<std::string> listed = names_in(dir);
    {
        Started run(TOLV_INJECT_BINARY, with({"-o", out}, args), "end:0:stop");
        ASSERT_EQ(run.wait_stopped(), true);
        kill(run.pid, SIGTERM);
        kill(run.pid, SIGCONT);
        const ToolRun r = run.finish();
        EXPECT_EQ(r.err, "tolv: " + out + ": interrupted (SIGTERM) before it was written; " + args[0] +
                             " is untouched\n");
        EXPECT_EQ(run.signal_that_ended(), SIGTERM);
        EXPECT_EQ(read(args[0]) == original, true);
        EXPECT_EQ(names_in(dir), listed);
        EXPECT_EQ(outcome(run_tolv(with({"-o", out}, args))), outcome({0, ref.table, ""}));
        EXPECT_EQ(read(out) == ref.corrected, true);
    }
    {
        Started run(TOLV_INJECT_BINARY, with({"-n"}, args), "end:0:stop");
        ASSERT_EQ(run.wait_stopped(), true);
        kill(run.pid, SIGHUP);
        kill(run.pid, SIGCONT);
        const ToolRun r = run.finish();
        EXPECT_EQ(r.err, head + "(SIGHUP); nothing was written\n");
        EXPECT_EQ(run.signal_that_ended(), SIGHUP);
        EXPECT_EQ(read(args[0]) == original, true);
    }
}

// The fit of a whole exposure killed at every step of its writes, then run
// again: the extensions left are fitted with the amplitudes the journal holds,
// and the file and the table are those of an uninterrupted run.
TEST(safety, an_exposure_fit_killed_at_every_step_then_run_again)
{
    TestDir dir;
    const auto files = write_scene(dir, 40, 30, 4, 2);
    const Bytes original = read(files[0]);
    std::vector<std::string> args = files;
    args.insert(args.begin(), "-E");
    std::vector<std::string> reference = args;
    reference[1] = dir.file("reference.fits");
    write(reference[1], original);
    const ToolRun ref = run_tolv(reference);
    ASSERT_EQ(ref.status, 0) << ref.err;
    const Bytes corrected = read(reference[1]);
    ASSERT_NE(ref.out, reference_run(dir, files).table); // the default mode fits otherwise
    for (const char *point : {"saved", "stored", "synced", "done"})
        for (int e = 1; e <= 4; e++) {
            const std::string what = std::string(point) + ":" + std::to_string(e);
            write(files[0], original);
            Started killed(TOLV_INJECT_BINARY, args, what + ":kill");
            EXPECT_EQ(killed.finish().status, -1) << what;
            ASSERT_EQ(exists(journal_of(files[0])), true) << what;
            if (e == 3) {
                // The journal is that of another run for the default mode.
                const ToolRun other = run_tolv(files);
                EXPECT_EQ(other.status, 1) << what;
                EXPECT_NE(other.err.find("or settings left its journal"), std::string::npos) << what << other.err;
            }
            const ToolRun again = run_tolv(args);
            EXPECT_EQ(again.status, 0) << what << again.err;
            EXPECT_EQ(again.out, ref.out) << what;
            EXPECT_EQ(read(files[0]) == corrected, true) << what;
            EXPECT_EQ(exists(journal_of(files[0])), false) << what;
        }
}
