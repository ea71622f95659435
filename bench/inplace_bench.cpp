// What a safe in-place run costs: the built tolv (lock, checks, journal, a sync per
// extension) against the bare job in this process (map, fit, write back, one sync
// at the end), on the same files, alternately, in one run.
//
//   inplace_bench TOLV DIR [EXTENSIONS NX NY REPETITIONS]
#include "fit_reference.h"
#include "fringefit.h"
#include "mosaic.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string card(const std::string &key, const std::string &value)
{
    char buf[81];
    // Strings start in column 11, numbers and logicals end in column 30.
    std::snprintf(buf, sizeof buf, value[0] == '\'' ? "%-8.8s= %-20s" : "%-8.8s= %20s", key.c_str(), value.c_str());
    std::string c = buf;
    c.resize(80, ' ');
    return c;
}

std::string header(const std::vector<std::string> &cards)
{
    std::string h;
    for (const auto &c : cards) h += c;
    h += std::string("END").append(77, ' ');
    h.resize((h.size() + 2879) / 2880 * 2880, ' ');
    return h;
}

// A mosaic of `n` float images; value(e, x, y) gives the pixels.
template <typename F>
bool write_mosaic(const std::string &name, int n, int nx, int ny, F value)
{
    std::FILE *f = std::fopen(name.c_str(), "wb");
    if (!f) return false;
    std::string h = header({card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"), card("EXTEND", "T")});
    std::fwrite(h.data(), 1, h.size(), f);
    std::vector<unsigned char> row(size_t(nx) * 4);
    for (int e = 1; e <= n; e++) {
        h = header({card("XTENSION", "'IMAGE   '"), card("BITPIX", "-32"), card("NAXIS", "2"),
                    card("NAXIS1", std::to_string(nx)), card("NAXIS2", std::to_string(ny)), card("PCOUNT", "0"),
                    card("GCOUNT", "1")});
        std::fwrite(h.data(), 1, h.size(), f);
        for (int y = 0; y < ny; y++) {
            for (int x = 0; x < nx; x++) {
                const float v = value(e, x, y);
                uint32_t u;
                std::memcpy(&u, &v, 4);
                for (int b = 0; b < 4; b++) row[size_t(x) * 4 + size_t(b)] = uint8_t(u >> (24 - 8 * b));
            }
            std::fwrite(row.data(), 1, row.size(), f);
        }
        const long pad = long((2880 - (size_t(nx) * ny * 4) % 2880) % 2880);
        for (long i = 0; i < pad; i++) std::fputc(0, f);
    }
    return std::fclose(f) == 0;
}

// Copies a file and syncs the copy, so that no run pays for the copy's writing.
void fresh_copy(const std::string &from, const std::string &to)
{
    std::system(("cp " + from + " " + to).c_str());
    const int fd = open(to.c_str(), O_RDWR);
    fsync(fd);
    close(fd);
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double run_tool(const std::string &tool, const std::vector<std::string> &args)
{
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char *> argv = {const_cast<char *>(tool.c_str())};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(97);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "tolv failed: %d\n", status);
    return seconds_since(t0);
}

double run_bare(const std::vector<std::string> &args)
{
    const auto t0 = std::chrono::steady_clock::now();
    const Mosaic science = ft_mmapmosaic(args[0].c_str(), "rw", 73);
    std::vector<Mosaic> fringes;
    for (size_t k = 1; k < args.size(); k++) fringes.push_back(ft_mmapmosaic(args[k].c_str(), "r", 73));
    std::FILE *null = std::fopen("/dev/null", "w");
    fringe_fit(science, fringes.data(), int(fringes.size()), null);
    std::fclose(null);
    msync(science->file->map, size_t(science->file->size), MS_SYNC);
    const double t = seconds_since(t0);
    ft_freemosaic(science);
    for (Mosaic m : fringes) ft_freemosaic(m);
    return t;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: inplace_bench TOLV DIR [EXTENSIONS NX NY REPETITIONS]\n");
        return 1;
    }
    const std::string tool = argv[1], dir = argv[2];
    const int n = argc > 3 ? std::atoi(argv[3]) : 8, nx = argc > 4 ? std::atoi(argv[4]) : 2048,
              ny = argc > 5 ? std::atoi(argv[5]) : 2048, reps = argc > 6 ? std::atoi(argv[6]) : 5;
    const std::string original = dir + "/original.fits", science = dir + "/science.fits";
    const std::vector<std::string> fringes = {dir + "/fringe1.fits", dir + "/fringe2.fits"};
    for (int k = 0; k < 2; k++)
        write_mosaic(fringes[size_t(k)], n, nx, ny,
                     [k](int, int x, int y) { return float(std::sin(0.01 * (k + 1) * x + 0.013 * y)); });
    write_mosaic(original, n, nx, ny, [](int e, int x, int y) {
        const unsigned h = unsigned(x) * 2654435761u ^ unsigned(y) * 40503u ^ unsigned(e) * 97u;
        return float(1000.0 + e + 0.01 * x - 0.02 * y + double(h % 1000) / 100.0 +
                     25.0 * std::sin(0.01 * x + 0.013 * y) + 12.0 * std::sin(0.02 * x + 0.013 * y));
    });
    const std::vector<std::string> args = {science, fringes[0], fringes[1]};
    std::vector<double> tool_times, bare_times;
    for (int r = 0; r < reps; r++) {
        fresh_copy(original, science);
        tool_times.push_back(run_tool(tool, args));
        fresh_copy(original, science);
        bare_times.push_back(run_bare(args));
    }
    const double t = median(tool_times), b = median(bare_times);
    std::printf("%d extensions of %d x %d, 2 fringe frames, %d repetitions, medians:\n", n, nx, ny, reps);
    std::printf("  tolv (lock, checks, journal, sync per extension)  %.3f s\n", t);
    std::printf("  the bare job in one process (map, fit, one sync)  %.3f s\n", b);
    std::printf("  cost of safety: %.3f s (%.1f%%)\n", t - b, 100.0 * (t - b) / b);
    return 0;
}
