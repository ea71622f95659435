// Runs of the built tolv at the limits of the machine: a full disk, a small address
// space, and a standard output that cannot take the table.  Real processes, real files.
#include "interrupted_run.h"
#include "run_tool.h"
#include "scene.h"
#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using namespace unitbytes;

namespace {

constexpr rlim_t KiB = 1024, MiB = 1024 * KiB;

struct Ended {
    int status = -1, signal = 0; // status -1: a signal ended the process
    std::string out, err;
};

int captured()
{
    char name[] = "/tmp/tolv_limits_out_XXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    unlink(name);
    return fd;
}

std::string slurp_and_close(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t n, at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n) text.append(buf, size_t(n));
    close(fd);
    return text;
}

// A program started with its standard output on `out_fd` (captured when -1), its
// standard error captured, and the resource limits set in the child before exec.
// The descriptors this file opens are close-on-exec, so the child holds only these.
class Child {
  public:
    explicit Child(std::vector<std::string> argv, int out_fd = -1, std::vector<std::pair<int, rlim_t>> limits = {})
        : out_(out_fd < 0 ? captured() : -1), err_(captured())
    {
        std::vector<char *> v;
        for (auto &a : argv) v.push_back(a.data());
        v.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out_fd < 0 ? out_ : out_fd, 1);
            dup2(err_, 2);
            for (const auto &[resource, value] : limits) {
                const rlimit l = {value, value};
                if (setrlimit(resource, &l) != 0) _exit(98);
            }
            execv(v[0], v.data());
            _exit(97);
        }
    }
    Ended wait()
    {
        Ended end;
        int ws = 0;
        if (pid_ > 0 && waitpid(pid_, &ws, 0) == pid_) {
            end.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
            end.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
        }
        if (out_ >= 0) end.out = slurp_and_close(out_);
        end.err = slurp_and_close(err_);
        return end;
    }

  private:
    int out_, err_;
    pid_t pid_ = -1;
};

std::vector<std::string> tolv(std::vector<std::string> args)
{
    return with(program_command(TOLV_BINARY), args);
}

Ended run(const std::vector<std::string> &argv, int out_fd = -1, std::vector<std::pair<int, rlim_t>> limits = {})
{
    return Child(argv, out_fd, std::move(limits)).wait();
}

Ended shell(const std::string &command) { return run({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH; " + command}); }

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string journal_of(const std::string &science)
{
    return std::filesystem::canonical(science).string() + ".tolv-journal";
}

std::string unwritable_table(const std::string &why, const std::string &science)
{
    return "tolv: the table could not be written (" + why + "); " + science + " is corrected\n";
}

// The uninterrupted run: its table and the science file it leaves, made on a copy.
struct Reference {
    std::string table;
    std::vector<unsigned char> bytes;
};

Reference reference(std::vector<std::string> args, const std::vector<unsigned char> &original, const TestDir &dir)
{
    args[0] = dir.file("reference.fits");
    write(args[0], original);
    const Ended end = run(tolv(args));
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.err, "");
    return {end.out, read(args[0])};
}

// A small ext4 filesystem in a file, loop-mounted on a temporary directory while
// this object lives (or, with mib 0, a ramfs, which keeps no extended attributes).
// `failure` says why it could not be mounted.
struct LoopMount {
    TestDir dir;
    std::string mount_point = dir.file("mnt"), failure;
    bool mounted = false;
    explicit LoopMount(int mib)
    {
        mkdir(mount_point.c_str(), 0755);
        const std::string image = dir.file("fs.img");
        const Ended made = shell(mib == 0 ? "mount -t ramfs ramfs '" + mount_point + "'"
                                          : "truncate -s " + std::to_string(mib) + "M '" + image +
                                                "' && mkfs.ext4 -q -F -m 0 '" + image + "' && mount -o loop '" + image +
                                                "' '" + mount_point + "'");
        mounted = made.status == 0;
        failure = made.err.empty() ? "status " + std::to_string(made.status) : made.err;
    }
    ~LoopMount()
    {
        if (mounted && shell("umount '" + mount_point + "'").status != 0) shell("umount -l '" + mount_point + "'");
    }
    std::string file(const std::string &name) const { return mount_point + "/" + name; }
    int64_t room() const
    {
        struct statvfs fs = {};
        statvfs(mount_point.c_str(), &fs);
        return int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
    }
    // Commits the filesystem's journal, so that blocks just freed can be used again.
    void commit() const
    {
        const int fd = open(mount_point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        syncfs(fd);
        close(fd);
    }
};

// A tmpfs of `mib` MiB mounted on a temporary directory while this object lives
// (root only).  `failure` says why it could not be mounted.
struct TmpfsMount {
    TestDir dir;
    std::string mount_point = dir.file("mnt"), failure;
    bool mounted = false;
    explicit TmpfsMount(int mib)
    {
        mkdir(mount_point.c_str(), 0755);
        if (geteuid() != 0) {
            failure = "mounting a filesystem needs root";
            return;
        }
        const Ended made =
            shell("mount -t tmpfs -o size=" + std::to_string(mib) + "m tmpfs '" + mount_point + "'");
        mounted = made.status == 0;
        failure = made.err.empty() ? "status " + std::to_string(made.status) : made.err;
    }
    ~TmpfsMount()
    {
        if (mounted && shell("umount '" + mount_point + "'").status != 0) shell("umount -l '" + mount_point + "'");
    }
    std::string file(const std::string &name) const { return mount_point + "/" + name; }
};

// The science mosaic of `scene` with every data unit a hole: its headers are
// written, its data never.  Returns the bytes of data the holes stand for.
int64_t write_sparse(const std::string &path, const Scene &scene)
{
    const auto head = unit_bytes(primary()), ext = unit_bytes(float_image(scene.nx, scene.ny, {}));
    const int64_t data = (int64_t(scene.nx) * scene.ny * 4 + 2879) / 2880 * 2880;
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    off_t at = pwrite(fd, head.data(), head.size(), 0);
    for (int e = 1; e <= scene.extensions; e++) {
        at += pwrite(fd, ext.data(), ext.size(), at);
        at += off_t(data);
    }
    EXPECT_EQ(ftruncate(fd, at), 0);
    close(fd);
    return data * scene.extensions;
}

// Fills the filesystem with the file `path`, then gives `room` bytes back.
void fill(const std::string &path, off_t room)
{
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    off_t size = 0;
    for (const off_t chunk : {off_t(MiB), off_t(16 * KiB), off_t(KiB)})
        while (posix_fallocate(fd, size, chunk) == 0) size += chunk;
    struct stat st = {};
    fstat(fd, &st);
    EXPECT_EQ(ftruncate(fd, st.st_size > room ? st.st_size - room : 0), 0);
    fsync(fd);
    close(fd);
}

} // namespace

TEST(limits, full_disk_on_a_loop_mounted_filesystem)
{
    const LoopMount disk(24);
    if (!disk.mounted) GTEST_SKIP() << "loop devices are missing: " << disk.failure;
    const TestDir elsewhere;
    {
        // Sparse data: the holes could not all be given blocks, so nothing is written
        // (and no fault comes half-way through a write).
        const Scene scene{1536, 1536, 3, 1};
        const std::string science = disk.file("sparse.fits"), fringe = elsewhere.file("fringe.fits");
        write(fringe, file_bytes(scene.fringe(0)));
        ASSERT_GT(write_sparse(science, scene), disk.room());
        const auto before = read(science);
        const Ended end = run(tolv({science, fringe}));
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.out, "");
        EXPECT_EQ(end.err, "tolv: " + science + ": no room on the disk for the corrected pixels of this sparse file: "
                                                "No space left on device; nothing was done\n");
        EXPECT_EQ(read(science), before);
        EXPECT_FALSE(exists(journal_of(science)));
        unlink(science.c_str());
    }
    const Scene scene{256, 256, 4, 2};
    const auto args = scene.write_files(elsewhere, disk.file("science.fits"));
    const auto original = read(args[0]);
    const Reference expected = reference(args, original, elsewhere);
    {
        // No room for the journal, which must hold one extension's original bytes.
        const std::string filler = disk.file("filler");
        fill(filler, off_t(64 * KiB));
        ASSERT_LT(disk.room(), int64_t(scene.nx) * scene.ny * 4);
        const std::string journal = journal_of(args[0]);
        const Ended full = run(tolv(args));
        EXPECT_EQ(full.status, 1);
        EXPECT_EQ(full.out, "");
        EXPECT_EQ(full.err, "tolv: " + args[0] + ": writing the journal " + journal +
                                " failed: No space left on device; nothing was done\n");
        EXPECT_EQ(read(args[0]), original);
        EXPECT_FALSE(exists(journal));

        unlink(filler.c_str());
        disk.commit();
        const Ended again = run(tolv(args));
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.err, "");
        EXPECT_EQ(again.out, expected.table);
        EXPECT_EQ(read(args[0]), expected.bytes);
        EXPECT_FALSE(exists(journal));
    }
    {
        write(args[0], original);
        ASSERT_EQ(shell("mount -o remount,ro '" + disk.mount_point + "'").status, 0);
        const Ended end = run(tolv(args));
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.out, "");
        EXPECT_EQ(end.err, "tolv: " + args[0] + ": Read-only file system\nCouldn't open file " + args[0] + "\n");
        EXPECT_EQ(read(args[0]), original);
    }
}

// Many extensions, fringe frames and iterations make the journal's records far
// larger than one extension's saved bytes: a disk with room for those bytes but
// not for the records of the whole run is found before the first write.
TEST(limits, the_whole_runs_journal_is_claimed_before_the_first_write)
{
    const LoopMount disk(8);
    if (!disk.mounted) GTEST_SKIP() << "loop devices are missing: " << disk.failure;
    const TestDir elsewhere;
    const Scene scene{64, 64, 16, 3};
    const auto files = scene.write_files(elsewhere, disk.file("science.fits"));
    const auto args = with({"--iterations", "100"}, files);
    const auto original = read(files[0]);
    const std::string filler = disk.file("filler");
    // Room for the journal's header and one extension's bytes (24 KiB) with some
    // records, not for 16 records of 100 rows.
    fill(filler, off_t(120 * KiB));
    const Ended full = run(tolv(args));
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.out, "");
    EXPECT_EQ(full.err, "tolv: " + files[0] + ": writing the journal " + journal_of(files[0]) +
                            " failed: No space left on device; nothing was done\n");
    EXPECT_EQ(read(files[0]), original);
    EXPECT_FALSE(exists(journal_of(files[0])));

    unlink(filler.c_str());
    disk.commit();
    const Ended room = run(tolv(args));
    EXPECT_EQ(room.status, 0) << room.err;
    EXPECT_EQ(std::count(room.out.begin(), room.out.end(), '\n'), 2 + 16 * 100);
    EXPECT_FALSE(exists(journal_of(files[0])));
}

// On a filesystem that keeps no extended attributes (ramfs) the file takes no
// mark: a file with one name is corrected as usual, and a run killed half way
// through an extension is finished by the same command; a file with two names is
// refused in place, since a rerun through the other name could not find the
// journal.
TEST(limits, a_filesystem_without_extended_attributes)
{
    const LoopMount disk(0);
    if (!disk.mounted) GTEST_SKIP() << "no ramfs could be mounted: " << disk.failure;
    const Scene scene{64, 48, 3, 1};
    const TestDir elsewhere;
    const auto args = scene.write_files(elsewhere, disk.file("science.fits"));
    const auto original = read(args[0]);
    const Reference expected = reference(args, original, elsewhere);
    setenv("TOLV_INJECT", "half:2:kill", 1);
    const Ended killed = run(with(program_command(TOLV_INJECT_BINARY), args));
    unsetenv("TOLV_INJECT");
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_TRUE(exists(journal_of(args[0])));
    const Ended again = run(tolv(args));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, expected.table);
    EXPECT_EQ(read(args[0]), expected.bytes);

    write(args[0], original);
    ASSERT_EQ(link(args[0].c_str(), disk.file("other-name.fits").c_str()), 0);
    const Ended two = run(tolv(args));
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.err, "tolv: " + args[0] +
                           ": the file has 2 names (hard links) and its filesystem keeps no extended attributes, so a "
                           "run through another name could not find the journal: correct it with -o, or where it has "
                           "one name; nothing was done\n");
    EXPECT_EQ(read(args[0]), original);
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(disk.mount_point))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"other-name.fits", "science.fits"}));
}

TEST(limits, address_space_sweep)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of shadow memory: it cannot start under a small RLIMIT_AS";
#endif
    const TestDir dir;
    const auto args = Scene{1024, 1024, 2, 2}.write_files(dir, dir.file("science.fits"));
    const auto original = read(args[0]);
    const Reference expected = reference(args, original, dir);
    auto limited = [](const std::vector<std::string> &argv, rlim_t v) { return run(argv, -1, {{RLIMIT_AS, v}}); };
    auto reaches_main = [&](rlim_t v) { return limited(tolv({}), v).status == 1; };

    // Just below the address space in which tolv gets to main, the loader, the C++
    // runtime and the static objects make their first allocations: those limits are
    // swept finely, the rest of the way to a run that succeeds coarsely.
    rlim_t lo = 1 * MiB, hi = 200 * MiB;
    ASSERT_TRUE(reaches_main(hi));
    auto page = [](double v) { return rlim_t(v) / (4 * KiB) * (4 * KiB); };
    while (hi - lo > 4 * KiB) {
        const rlim_t mid = page(double(lo + hi) / 2);
        (reaches_main(mid) ? hi : lo) = mid;
    }
    std::vector<rlim_t> sweep;
    for (rlim_t v = hi - 192 * KiB; v < hi + 128 * KiB; v += 16 * KiB) sweep.push_back(v);
    for (double v = double(hi + MiB); v < 200.0 * MiB; v *= 1.2) sweep.push_back(page(v));
    sweep.push_back(200 * MiB);

    int succeeded = 0, refused = 0;
    for (const rlim_t v : sweep) {
        const std::string at = "with RLIMIT_AS " + std::to_string(v / KiB) + " KiB";
        write(args[0], original);
        const Ended end = limited(tolv(args), v);
        if (end.status == 127) {
            // The dynamic loader's status (tolv's are 0 and 1): it gave up before tolv began.
            EXPECT_NE(end.err, "") << at;
            EXPECT_EQ(read(args[0]), original) << at;
            continue;
        }
        if (end.status == 0) {
            succeeded++;
            EXPECT_EQ(end.err, "") << at;
            EXPECT_EQ(end.out, expected.table) << at;
            EXPECT_EQ(read(args[0]), expected.bytes) << at;
            continue;
        }
        // Anything else is a refusal with its reason, never a signal; a rerun finishes.
        EXPECT_EQ(end.status, 1) << at << ", signal " << end.signal << ": " << end.err;
        refused += end.status == 1;
        EXPECT_NE(end.err, "") << at;
        const Ended again = run(tolv(args));
        EXPECT_EQ(again.status, 0) << at << ": " << again.err;
        EXPECT_EQ(again.out, expected.table) << at;
        EXPECT_EQ(read(args[0]), expected.bytes) << at;
        EXPECT_FALSE(exists(journal_of(args[0]))) << at;
    }
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(refused, 0);
}

TEST(limits, table_that_cannot_be_written)
{
    const TestDir dir;
    const auto args = Scene{64, 48, 3, 2}.write_files(dir, dir.file("science.fits"));
    const auto original = read(args[0]);
    const Reference expected = reference(args, original, dir);
    {
        // Every write to the pipe fails: its reader has gone before tolv starts.
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        close(pipe_fds[0]);
        const Ended end = run(tolv(args), pipe_fds[1]);
        close(pipe_fds[1]);
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.err, unwritable_table("Broken pipe", args[0]));
        EXPECT_EQ(read(args[0]), expected.bytes);
        EXPECT_FALSE(exists(journal_of(args[0])));
    }
    {
        // A log that reaches the file size limit 100 bytes into the table; the
        // journal, far smaller than the limit, is written as usual.
        write(args[0], original);
        const rlim_t limit = MiB;
        const std::string log = dir.file("log");
        write(log, std::vector<unsigned char>(limit - 100, '.'));
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const Ended end = run(tolv(args), fd, {{RLIMIT_FSIZE, limit}});
        close(fd);
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.err, unwritable_table("File too large", args[0]));
        EXPECT_EQ(read(args[0]), expected.bytes);
        EXPECT_FALSE(exists(journal_of(args[0])));
        const auto kept = read(log);
        ASSERT_EQ(kept.size(), size_t(limit));
        EXPECT_EQ(std::string(kept.end() - 100, kept.end()), expected.table.substr(0, 100));
    }
    {
        // `tolv ... | head -1` on a mosaic whose table is far longer than the pipe,
        // shrunk to one page, can hold: the reader goes after one line, so some
        // write comes after it has gone, however the two processes are scheduled.
        const TestDir many_dir;
        const auto many = Scene{32, 24, 60, 2}.write_files(many_dir, many_dir.file("science.fits"));
        const Reference many_expected = reference(many, read(many[0]), many_dir);
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        const int holds = fcntl(pipe_fds[0], F_SETPIPE_SZ, 4096);
        ASSERT_GT(holds, 0);
        ASSERT_GT(many_expected.table.size(), size_t(holds) + 4096);
        Child child(tolv(many), pipe_fds[1]);
        close(pipe_fds[1]);
        std::string line;
        for (char c = 0; c != '\n' && read(pipe_fds[0], &c, 1) == 1;) line += c;
        close(pipe_fds[0]);
        const Ended end = child.wait();
        EXPECT_EQ(line, many_expected.table.substr(0, many_expected.table.find('\n') + 1));
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.err, unwritable_table("Broken pipe", many[0]));
        EXPECT_EQ(read(many[0]), many_expected.bytes);
        EXPECT_FALSE(exists(journal_of(many[0])));
    }
}

// A run refused after the table's file is opened (the journal cannot be made,
// the disk is full for the journal, for the copy of -o, or for the holes of a
// sparse file) leaves an existing table file byte for byte as it was.
TEST(limits, a_refused_run_leaves_the_table_file_as_it_was)
{
    const std::vector<unsigned char> kept = {'k', 'e', 'p', 't', '\n'};
    {
        // The science file's folder is not writable for the user running tolv.
        const TestDir dir;
        const auto args = Scene{32, 24, 3, 1}.write_files(dir);
        const auto original = read(args[0]);
        const std::string table = dir.file("table.tsv");
        write(table, kept);
        for (const std::string &name : {args[0], table}) chmod(name.c_str(), 0666);
        const std::string journal = journal_of(args[0]);
        chmod(dir.path.c_str(), 0555);
        const ToolRun run = run_tolv(with({"--table", table}, args), true);
        chmod(dir.path.c_str(), 0755);
        EXPECT_EQ(outcome(run), outcome({1, "", "tolv: " + args[0] + ": creating the journal " + journal +
                                                    " failed: Permission denied; nothing was done\n"}));
        EXPECT_EQ(read(table), kept);
        EXPECT_EQ(read(args[0]), original);
    }
    const TmpfsMount disk(1);
    if (!disk.mounted) GTEST_SKIP() << "no tmpfs to fill: " << disk.failure;
    const TestDir elsewhere;
    const std::string table = disk.file("table.tsv");
    write(table, kept);
    const Scene scene{128, 128, 3, 1};
    const auto args = scene.write_files(elsewhere, disk.file("science.fits"));
    const auto original = read(args[0]);
    fill(disk.file("filler"), off_t(16 * KiB));
    {
        // No room for the journal.
        const Ended end = run(tolv({"--table", table, args[0], args[1]}));
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.err, "tolv: " + args[0] + ": writing the journal " + journal_of(args[0]) +
                               " failed: No space left on device; nothing was done\n");
        EXPECT_EQ(read(table), kept);
        EXPECT_EQ(read(args[0]), original);
    }
    {
        // No room for the copy of -o.
        const std::string out = disk.file("out.fits");
        const Ended end = run(tolv({"--table", table, "-o", out, args[0], args[1]}));
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.err.rfind("tolv: " + out + ": writing ", 0), 0u) << end.err;
        EXPECT_NE(end.err.find(" failed: No space left on device\n"), std::string::npos) << end.err;
        EXPECT_EQ(read(table), kept);
        EXPECT_FALSE(exists(out));
    }
    {
        // Holes in the science file that the disk cannot give blocks to.  On ext4:
        // a hole of a full tmpfs cannot even be read through a mapping.
        const LoopMount ext4(24);
        if (!ext4.mounted) GTEST_SKIP() << "loop devices are missing: " << ext4.failure;
        const Scene big{1536, 1536, 3, 1};
        const std::string science = ext4.file("sparse.fits"), fringe = elsewhere.file("big-fringe.fits"),
                          sparse_table = ext4.file("table.tsv");
        write(sparse_table, kept);
        write(fringe, file_bytes(big.fringe(0)));
        ASSERT_GT(write_sparse(science, big), ext4.room());
        const Ended end = run(tolv({"--table", sparse_table, science, fringe}));
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(end.err, "tolv: " + science + ": no room on the disk for the corrected pixels of this sparse file: "
                                                "No space left on device; nothing was done\n");
        EXPECT_EQ(read(sparse_table), kept);
    }
}

// A compressed input is decompressed into an unnamed file in $TMPDIR, which no
// name holds and which goes with the process however it ends; where that disk
// has no room for it, into memory, with the same results.
TEST(limits, compressed_inputs_decompress_into_scratch_files_that_go_with_the_run)
{
    if (access("/usr/bin/fpack", X_OK) != 0) GTEST_SKIP() << "fpack is not installed";
    const TmpfsMount roomy(64), full(1);
    if (!roomy.mounted || !full.mounted) GTEST_SKIP() << "no tmpfs could be mounted: " << roomy.failure << full.failure;
    auto used = [](const TmpfsMount &m) {
        struct statvfs fs = {};
        statvfs(m.mount_point.c_str(), &fs);
        return int64_t(fs.f_blocks - fs.f_bfree) * int64_t(fs.f_frsize);
    };
    const Scene scene{400, 300, 4, 1};
    const TestDir dir;
    const auto args = scene.write_files(dir, dir.file("science.fits"));
    const std::string fz = dir.file("science.fits.fz");
    ASSERT_EQ(shell("/usr/bin/fpack -S '" + args[0] + "' > '" + fz + "'").status, 0);
    const int64_t plain_bytes = int64_t(read(args[0]).size());
    // TMPDIR as it was when the test ends, however it ends.
    struct TmpdirKept {
        const char *was = std::getenv("TMPDIR");
        const std::string old = was ? was : "";
        ~TmpdirKept() { was ? setenv("TMPDIR", old.c_str(), 1) : unsetenv("TMPDIR"); }
    } kept;
    const Ended want = run(tolv({"-n", fz, args[1]}));
    ASSERT_EQ(want.status, 0) << want.err;

    setenv("TMPDIR", full.mount_point.c_str(), 1);
    const Ended in_memory = run(tolv({"-n", fz, args[1]}));
    EXPECT_EQ(in_memory.status, 0) << in_memory.err;
    EXPECT_EQ(in_memory.out, want.out);
    EXPECT_EQ(used(full), 0);

    // Stopped with the corrected file encoded: the plain copy is in TMPDIR; killed
    // there, it is gone, and the science file is the old one.
    setenv("TMPDIR", roomy.mount_point.c_str(), 1);
    const auto original = read(fz);
    interrupted::Started stopped(TOLV_INJECT_BINARY, {fz, args[1]}, "encoded:0:stop");
    if (!stopped.wait_stopped()) FAIL() << "the run ended before it was encoded: " << stopped.finish().err;
    EXPECT_GE(used(roomy), plain_bytes);
    EXPECT_TRUE(std::filesystem::is_empty(roomy.mount_point));
    kill(stopped.pid, SIGKILL);
    stopped.finish();
    EXPECT_EQ(used(roomy), 0);
    EXPECT_EQ(read(fz), original);
}

// In place, a compressed file is rewritten beside itself: a disk without room
// for a file of its size is found before the fit, nothing printed or left.
TEST(limits, a_compressed_file_without_room_beside_it_is_refused_before_the_fit)
{
    if (access("/usr/bin/fpack", X_OK) != 0) GTEST_SKIP() << "fpack is not installed";
    const TmpfsMount disk(2);
    if (!disk.mounted) GTEST_SKIP() << "no tmpfs could be mounted: " << disk.failure;
    const Scene scene{400, 300, 4, 1};
    const TestDir dir;
    const auto args = scene.write_files(dir, dir.file("science.fits"));
    const std::string fz = disk.file("science.fits.fz");
    ASSERT_EQ(shell("/usr/bin/fpack -S '" + args[0] + "' > '" + fz + "'").status, 0);
    const auto original = read(fz);
    // Fill the disk up to less than the file's size.
    struct statvfs fs = {};
    ASSERT_EQ(statvfs(disk.mount_point.c_str(), &fs), 0);
    const int64_t room = int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
    ASSERT_GT(room, int64_t(original.size()));
    write(disk.file("filler"), std::vector<unsigned char>(size_t(room - int64_t(original.size()) / 2)));
    const Ended run_full = run(tolv({fz, args[1]}));
    EXPECT_EQ(run_full.status, 1);
    EXPECT_EQ(run_full.out, "");
    EXPECT_EQ(run_full.err, "tolv: " + fz + ": writing a new file in " + disk.mount_point +
                                " failed: No space left on device; nothing was done\n");
    EXPECT_EQ(read(fz), original);
    // The file and the filler, nothing else.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(disk.mount_point), std::filesystem::directory_iterator{}),
              2);
    // With room, the same command corrects it.
    std::filesystem::remove(disk.file("filler"));
    const Ended with_room = run(tolv({fz, args[1]}));
    EXPECT_EQ(with_room.status, 0) << with_room.err;
    EXPECT_NE(read(fz), original);
}
