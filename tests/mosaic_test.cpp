#include "mosaic.h"

#include "unit_bytes.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace unitbytes;

namespace {

using HeldMosaic = std::unique_ptr<_Mosaic, decltype(&ft_freemosaic)>;

HeldMosaic map_mosaic(const std::string &path, const char *mode, int max)
{
    return HeldMosaic(ft_mmapmosaic(path.c_str(), mode, max), &ft_freemosaic);
}

std::string temp_dir()
{
    char dir[] = "/tmp/tolv_mosaic_XXXXXX";
    return mkdtemp(dir);
}

std::vector<float> ramp(int nx, int ny, float base)
{
    std::vector<float> v(size_t(nx) * ny);
    for (size_t i = 0; i < v.size(); i++) v[i] = base + float(i);
    return v;
}

// Runs f in a child whose exit status is its result, dropping root so that file
// permissions hold.
int in_unprivileged_child(const std::function<int()> &f)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Collects what f prints on stdout.
std::string stdout_of(const std::function<void()> &f)
{
    std::fflush(stdout);
    char name[] = "/tmp/tolv_stdout_XXXXXX";
    const int fd = mkstemp(name);
    unlink(name);
    const int saved = dup(1);
    dup2(fd, 1);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[256];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    close(fd);
    return text;
}

struct FiveUnits {
    std::string dir = temp_dir();
    std::string path = dir + "/mosaic.fits";
    std::vector<Unit> units;
    FiveUnits()
    {
        units.push_back(primary({card("DETSIZE", str("[1:9999,1:9999]"))}));
        units.push_back(float_image(5, 3, ramp(5, 3, 100), {card("DETSIZE", str("[1:2048,1:4096]")),
                                                            card("DETSEC", str("[1:1024,1:4096]"))}));
        units.push_back(float_image(7, 2, ramp(7, 2, 200), {card("DETSEC", str("[1025:2048,1:4096]"))}));
        units.push_back(float_image(4, 4, ramp(4, 4, 300), {card("DETSEC", str("[2048:1025,5000:6000]"))}));
        units.push_back(float_image(2, 2, ramp(2, 2, 400)));
        write(path, file_bytes(units));
    }
    ~FiveUnits()
    {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    // Offset of unit i's first data byte in the file.
    size_t data_offset(int i) const
    {
        size_t off = 0;
        for (int k = 0; k < i; k++) off += unit_bytes(units[size_t(k)]).size();
        return off + (units[size_t(i)].cards.size() * 80 + 80 + 2879) / 2880 * 2880;
    }
};

} // namespace

TEST(mosaic, indexes_every_unit_in_place)
{
    FiveUnits f;
    const HeldMosaic held = map_mosaic(f.path, "r", 73);
    const Mosaic m = held.get();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->count, 5);
    EXPECT_EQ(m->head[0]->basic->simple, 1);
    const auto *base = reinterpret_cast<const unsigned char *>(m->head[0]->cards);
    for (int i = 1; i < 5; i++) {
        EXPECT_EQ(static_cast<const unsigned char *>(m->data[i]) - base, std::ptrdiff_t(f.data_offset(i)));
        EXPECT_EQ(std::memcmp(m->data[i], f.units[size_t(i)].data.data(), f.units[size_t(i)].data.size()), 0);
        ASSERT_NE(m->data2d[i], nullptr);
        EXPECT_EQ(m->data2d[i][1], static_cast<char *>(m->data[i]) + m->head[i]->basic->naxis[0] * 4);
    }
    EXPECT_EQ(m->head[5], nullptr);
}

TEST(mosaic, stops_at_the_unit_limit)
{
    FiveUnits f;
    const HeldMosaic held = map_mosaic(f.path, "r", 3);
    const Mosaic m = held.get();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->count, 3);
    EXPECT_EQ(m->head[3], nullptr);
    EXPECT_EQ(map_mosaic(f.path + "[2]", "r", -1)->count, 5); // the selector is ignored
}

TEST(mosaic, detector_sections)
{
    FiveUnits f;
    const HeldMosaic held = map_mosaic(f.path, "r", 73);
    const Mosaic m = held.get();
    ASSERT_NE(m, nullptr);
    // DETSIZE comes from unit 1, not from the primary header.
    EXPECT_EQ(m->detsec[0].x1, 1);
    EXPECT_EQ(m->detsec[0].x2, 2048);
    EXPECT_EQ(m->detsec[0].y2, 4096);
    EXPECT_EQ(m->detsec[2].x1, 1025);
    EXPECT_EQ(m->detsec[2].y1, 1);
    EXPECT_EQ(m->detsec[2].x2, 2048);
    EXPECT_EQ(m->detsec[2].y2, 4096);
    EXPECT_EQ(m->detsec[4].x1, 0); // absent: all zero
    EXPECT_EQ(m->detsec[4].y2, 0);
    // A section whose first bound exceeds its second holds no point.
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(getpixel(m, 1500, 5500, 0), 0.0); }), "");
}

TEST(mosaic, missing_or_unwritable_files_map_nothing)
{
    FiveUnits f;
    EXPECT_EQ(map_mosaic(f.dir + "/absent.fits", "r", 73), nullptr);
    chmod(f.path.c_str(), 0444);
    chmod(f.dir.c_str(), 0755);
    const std::string path = f.path;
    EXPECT_EQ(in_unprivileged_child([&] { return map_mosaic(path, "r", 73) ? 0 : 1; }), 0);
    EXPECT_EQ(in_unprivileged_child([&] { return map_mosaic(path, "rw", 73) ? 0 : 1; }), 1);
}

TEST(mosaic, empty_and_non_fits_files_are_refused)
{
    FiveUnits f;
    write(f.path, {});
    testing::internal::CaptureStderr();
    EXPECT_EQ(map_mosaic(f.path, "r", 73), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("mmap: ", 0), 0u);
    write(f.path, std::vector<unsigned char>(5760, 'x'));
    EXPECT_EQ(map_mosaic(f.path, "r", 73), nullptr);
}

TEST(mosaic, bytes_after_the_last_whole_unit_end_the_walk)
{
    FiveUnits f;
    auto bytes = file_bytes(f.units);
    const size_t whole = bytes.size();
    bytes.resize(whole + 100, 0);
    write(f.path, bytes);
    const HeldMosaic held = map_mosaic(f.path, "rw", 73);
    const Mosaic m = held.get();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->count, 5);
    // A last unit whose data is cut short is not a unit.
    bytes.resize(whole - 2880);
    write(f.path, bytes);
    EXPECT_EQ(map_mosaic(f.path, "r", 73)->count, 4);
    EXPECT_EQ(read(f.path), bytes);
}

TEST(mosaic, getpixel_reads_detector_points_through_the_transforms)
{
    const std::string dir = temp_dir(), path = dir + "/m.fits";
    std::vector<Unit> units = {primary()};
    // A 16-bit unit covering detector columns 1025..1028, rows 1..3: DTV1 = 1024.
    Unit u;
    u.cards = {card("XTENSION", str("IMAGE")), card("BITPIX", "16"), card("NAXIS", "2"), card("NAXIS1", "4"),
               card("NAXIS2", "3"), card("DETSEC", str("[1025:1028,1:3]")), card("DTV1", "1024")};
    for (int i = 0; i < 12; i++) {
        const int16_t v = int16_t(-100 * i - 7);
        u.data.push_back(static_cast<unsigned char>(uint16_t(v) >> 8));
        u.data.push_back(static_cast<unsigned char>(uint16_t(v) & 0xff));
    }
    units.push_back(u);
    write(path, file_bytes(units));
    const HeldMosaic held = map_mosaic(path, "rw", 73);
    const Mosaic m = held.get();
    ASSERT_NE(m, nullptr);
    double v = 0;
    // Detector (1027, 2) is logical column 3, row 2: element 1*4 + 2 = 6.
    EXPECT_EQ(stdout_of([&] { v = getpixel(m, 1027, 2, 0); }), "1027 2 -> 1 3 2\n");
    EXPECT_EQ(v, -607.0);
    EXPECT_EQ(stdout_of([&] { v = getpixel(m, 1025, 1, 4096); }), "1025 1 -> 1 1 1\n");
    EXPECT_EQ(v, double(uint16_t(-7)));

    EXPECT_EQ(setpixel(m, 1027, 2, 0, -3.7), 0.0);
    EXPECT_EQ(setpixel(m, 5000, 5000, 0, 1.0), 0.0); // outside every section: nothing
    const auto after = read(path);
    const size_t data = 2880 * 2;
    EXPECT_EQ(after[data + 12], 0xff);
    EXPECT_EQ(after[data + 13], 0xfd); // -3 big-endian
    auto expected = file_bytes(units);
    expected[data + 12] = 0xff;
    expected[data + 13] = 0xfd;
    EXPECT_EQ(after, expected);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(mosaic, never_indexes_more_than_1024_units)
{
    const std::string dir = temp_dir(), path = dir + "/many.fits";
    std::vector<Unit> units = {primary()};
    for (int i = 0; i < 1100; i++) units.push_back(float_image(1, 1, {float(i)}));
    write(path, file_bytes(units));
    const HeldMosaic m = map_mosaic(path, "r", -1);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->count, MOSAIC_MAX_UNITS);
    EXPECT_EQ(map_mosaic(path, "r", 5000)->count, MOSAIC_MAX_UNITS);
    EXPECT_EQ(map_mosaic(path, "r", 0), nullptr); // a limit of 0 indexes nothing
    unlink(path.c_str());
    rmdir(dir.c_str());
}
