// Extensions fitted on several threads: the table, the file and the end of a run
// that meets a singular fit are those of one worker, whatever the number of
// workers; and the memory a run holds does not grow with the file.
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

using namespace unitbytes;

namespace {

using Bytes = std::vector<unsigned char>;

// The peak resident memory (VmHWM) of a run of the fault-injection build, read
// while it is stopped after its last extension: the figure of tolv's own memory,
// which a wait4 of a child forked from this large process would not give.
long peak_kib_at_end(const Args &args)
{
    Args line;
    const std::vector<char *> argv = exec_argv(line, TOLV_INJECT_BINARY, args);
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("TOLV_INJECT", "end:0:stop", 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(argv[0], argv.data());
        _exit(97);
    }
    int ws = 0;
    long peak = -1;
    if (waitpid(pid, &ws, WUNTRACED) == pid && WIFSTOPPED(ws)) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0) peak = std::stol(line.substr(6));
        kill(pid, SIGCONT);
        waitpid(pid, &ws, 0);
    }
    return WIFEXITED(ws) && WEXITSTATUS(ws) == 0 ? peak : -1;
}

// Writes the file's pages to the disk and drops them from the page cache, as for
// files written long before the run: a file just written is cached in folios as
// large as its writes, and a fault maps a whole folio, whatever the process reads.
void on_disk_only(const std::string &name)
{
    const int fd = open(name.c_str(), O_RDONLY);
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

} // namespace

// Jobs among extensions that are not fitted (a dead CCD, one corrected before),
// with a mask; and a run that ends at a fit singular after clipping, with later
// extensions fitted meanwhile by other workers and dropped.
TEST(workers, every_number_of_workers_gives_the_run_of_one)
{
    TestDir dir;
    const Scene scene{33, 21, 7, 2};
    const Args args = scene.write_files(dir);
    std::vector<Unit> sci = scene.science();
    sci[3].data = floats_be(std::vector<float>(33 * 21, NAN)); // dead
    const std::string mask = dir.file("mask.fits");
    std::vector<Unit> m = {primary()};
    for (int e = 1; e <= 7; e++) {
        Unit u = float_image(33, 21, {});
        u.cards[1] = card("BITPIX", "8");
        for (int p = 0; p < 33 * 21; p++) u.data.push_back((p * 7 + e) % 19 == 0);
        m.push_back(u);
    }
    write(mask, file_bytes(m));
    write(args[0], file_bytes(sci));
    // Extension 5 corrected by an earlier run.
    ASSERT_EQ(run_tolv(with({"-q", "-m", mask}, args)).status, 0);
    sci[5] = Unit{};
    const Bytes corrected = read(args[0]);
    Bytes start = file_bytes(scene.science());
    {
        std::vector<Unit> s = scene.science();
        s[3].data = floats_be(std::vector<float>(33 * 21, NAN));
        start = file_bytes(s);
        const size_t unit = 2880 + (33 * 21 * 4 + 2879) / 2880 * 2880, e5 = 2880 + 4 * unit;
        std::copy(corrected.begin() + long(e5), corrected.begin() + long(e5 + unit), start.begin() + long(e5));
    }
    write(args[0], start);
    const ToolRun one = run_tolv(with({"-j", "1", "-m", mask}, args));
    ASSERT_EQ(one.status, 0) << one.err;
    const Bytes one_bytes = read(args[0]);
    EXPECT_EQ(one_bytes == corrected, true);
    for (const Args &jobs : std::vector<Args>{{"-j", "2"}, {"--jobs=3"}, {"-j6"}, {"--jobs", "1024"}, {}}) {
        write(args[0], start);
        const ToolRun run = run_tolv(with(with(jobs, {"-m", mask}), args));
        const std::string what = jobs.empty() ? "default" : jobs[0];
        EXPECT_EQ(outcome(run), outcome(one)) << what;
        EXPECT_EQ(read(args[0]) == one_bytes, true) << what;
    }

    // Extension 4 singular once clipped (a frame nonzero only at two pixels far
    // off the sky): extensions 1 to 3 corrected, 4 to 7 as they were.
    std::vector<Unit> fr = scene.fringe(0);
    std::vector<float> f(33 * 21, 0.0f), px(33 * 21);
    for (int p = 0; p < 33 * 21; p++) px[size_t(p)] = float(100 + (p * 37 % 11));
    f[10] = f[400] = 1.0f;
    px[10] += 4000.0f;
    px[400] -= 4000.0f;
    fr[4] = float_image(33, 21, f);
    std::vector<Unit> s = scene.science();
    s[4] = float_image(33, 21, px, {card("EXTVER", "4")});
    write(args[1], file_bytes(fr));
    const Bytes singular_start = file_bytes(s);
    write(args[0], singular_start);
    const ToolRun alone = run_tolv(with({"-j", "1"}, args));
    EXPECT_EQ(alone.status, 1);
    const Bytes alone_bytes = read(args[0]);
    for (const char *n : {"2", "4", "7"}) {
        write(args[0], singular_start);
        const ToolRun run = run_tolv(with({"-j", n}, args));
        EXPECT_EQ(outcome(run), outcome(alone)) << n;
        EXPECT_EQ(read(args[0]) == alone_bytes, true) << n;
    }
    EXPECT_EQ(outcome(run_tolv(with({"-j", "0"}, args))),
              outcome({1, "", "tolv: -j takes a whole number from 1 to 1024, not '0'\nUsage: tolv file fringefile1 ... fringefilen\nTry 'tolv --help'\n"}));
}

// Each extension's pages are dropped once written and each fringe extension's once
// fitted: the peak memory of 16 extensions is that of 2, near enough.
TEST(workers, memory_does_not_grow_with_the_file)
{
    TestDir dir;
    long peak[2];
    for (int i = 0; i < 2; i++) {
        const Scene scene{512, 512, i == 0 ? 2 : 16, 2};
        const Args args = scene.write_files(dir);
        for (const std::string &name : args) on_disk_only(name);
        peak[i] = peak_kib_at_end(with({"-q", "-j", "1"}, args));
        ASSERT_GT(peak[i], 0);
    }
    std::printf("peak memory: 2 extensions %ld KiB, 16 extensions %ld KiB\n", peak[0], peak[1]);
    EXPECT_LE(double(peak[1]), 1.5 * double(peak[0]));
}
