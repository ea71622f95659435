// Test scenes for end-to-end runs: a private directory any user can read, and a
// science mosaic of sky, gradients, fringes, noise and a star with the matching
// fringe frames, so that every fit is well conditioned.
#ifndef TOLV_TESTS_SCENE_H
#define TOLV_TESTS_SCENE_H

#include "unit_bytes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// A directory under /tmp, readable by everyone (runs as the user nobody read it),
// removed with everything in it.
struct TestDir {
    std::string path;
    TestDir()
    {
        char dir[] = "/tmp/tolv_test_XXXXXX";
        if (mkdtemp(dir)) path = dir;
        chmod(path.c_str(), 0755);
    }
    ~TestDir()
    {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TestDir(const TestDir &) = delete;
    TestDir &operator=(const TestDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline float fringe_value(int k, int x, int y) { return float(std::sin(0.7 * (k + 1) * x) * std::cos(0.3 * y + k)); }

// `extensions` images of nx x ny with `nfringe` fringe patterns.
struct Scene {
    int nx, ny, extensions, nfringe;
    std::vector<unitbytes::Unit> science() const
    {
        using namespace unitbytes;
        std::vector<Unit> units = {primary()};
        unsigned h = 12345;
        for (int e = 1; e <= extensions; e++) {
            std::vector<float> px(size_t(nx) * size_t(ny));
            for (int y = 0; y < ny; y++)
                for (int x = 0; x < nx; x++) {
                    h = h * 1103515245u + 12345u;
                    double v = 500.0 + 10 * e + 0.3 * x - 0.2 * y + double(h >> 16 & 1023) / 256.0;
                    for (int k = 0; k < nfringe; k++) v += (20.0 + 7 * k + e) * fringe_value(k, x, y);
                    if (x == nx / 3 && y == ny / 2) v += 4000.0;
                    px[size_t(y) * size_t(nx) + size_t(x)] = float(v);
                }
            units.push_back(float_image(nx, ny, px, {card("EXTVER", std::to_string(e))}));
        }
        return units;
    }
    std::vector<unitbytes::Unit> fringe(int k) const
    {
        using namespace unitbytes;
        std::vector<float> px(size_t(nx) * size_t(ny));
        for (int y = 0; y < ny; y++)
            for (int x = 0; x < nx; x++) px[size_t(y) * size_t(nx) + size_t(x)] = fringe_value(k, x, y);
        std::vector<Unit> units(size_t(extensions) + 1, float_image(nx, ny, px));
        units[0] = primary();
        return units;
    }
    // Writes the science mosaic (at `science`, or science.fits in dir) and
    // fringe0.fits ... into dir; returns tolv's arguments.
    std::vector<std::string> write_files(const TestDir &dir, const std::string &science = "") const
    {
        std::vector<std::string> args = {science.empty() ? dir.file("science.fits") : science};
        unitbytes::write(args[0], unitbytes::file_bytes(this->science()));
        for (int k = 0; k < nfringe; k++) {
            args.push_back(dir.file("fringe" + std::to_string(k) + ".fits"));
            unitbytes::write(args.back(), unitbytes::file_bytes(fringe(k)));
        }
        return args;
    }
};

#endif
