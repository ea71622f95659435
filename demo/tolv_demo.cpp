// The demo: writes a sample mosaic and two fringe frames with the FITS library,
// and measures the fringe amplitude of every extension (before and after tolv).
//
//   tolv_demo write DIR        science.fits, fringe1.fits and fringe2.fits in DIR
//   tolv_demo exposures DIR N  N dithered exposures of the same sky, exp01.fits ...
//   tolv_demo measure DIR [FILE]  the amplitude of each fringe pattern per
//                              extension of DIR/science.fits (or FILE)
#include "fits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int NX = 512, NY = 512, EXTENSIONS = 4; // a 2 x 2 mosaic of 1024 x 1024
constexpr double PI = 3.14159265358979323846;

// Fringe pattern k at detector point (dx, dy): fixed on the detector, zero mean.
double pattern(int k, int dx, int dy)
{
    if (k == 0) return std::sin(2 * PI * (0.8 * dx + 0.6 * dy) / 64.0) * std::cos(2 * PI * dy / 300.0);
    return std::sin(2 * PI * (0.3 * dx - 0.95 * dy) / 17.0);
}

struct Random {
    unsigned state;
    double uniform()
    {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 16777216.0;
    }
    double normal() // sum of twelve uniforms: mean 0, sigma 1
    {
        double s = -6.0;
        for (int i = 0; i < 12; i++) s += uniform();
        return s;
    }
};

int origin_x(int e) { return ((e - 1) % 2) * NX; }
int origin_y(int e) { return ((e - 1) / 2) * NY; }

FITSHead primary_header()
{
    FITSHead h = ft_headinit(nullptr, 0);
    ft_headappl(h, "SIMPLE", 0, 1, "a mosaic written by tolv_demo");
    ft_headappi(h, "BITPIX", 0, 8, nullptr);
    ft_headappi(h, "NAXIS", 0, 0, nullptr);
    ft_headappl(h, "EXTEND", 0, 1, nullptr);
    ft_headapps(h, "DETSIZE", 0, "[1:1024,1:1024]", nullptr);
    return h;
}

FITSHead image_header(int e)
{
    FITSHead h = ft_headinit(nullptr, 0);
    ft_headapps(h, "XTENSION", 0, "IMAGE", nullptr);
    ft_headappi(h, "BITPIX", 0, -32, nullptr);
    ft_headappi(h, "NAXIS", 0, 2, nullptr);
    ft_headappi(h, "NAXIS", 1, NX, nullptr);
    ft_headappi(h, "NAXIS", 2, NY, nullptr);
    ft_headappi(h, "PCOUNT", 0, 0, nullptr);
    ft_headappi(h, "GCOUNT", 0, 1, nullptr);
    ft_headapps(h, "EXTNAME", 0, ("CCD" + std::to_string(e)).c_str(), nullptr);
    ft_headapps(h, "DETSIZE", 0, "[1:1024,1:1024]", nullptr);
    char sec[64];
    std::snprintf(sec, sizeof sec, "[%d:%d,%d:%d]", origin_x(e) + 1, origin_x(e) + NX, origin_y(e) + 1,
                  origin_y(e) + NY);
    ft_headapps(h, "DETSEC", 0, sec, nullptr);
    ft_headappr(h, "DTV1", 0, origin_x(e), 1, nullptr);
    ft_headappr(h, "DTV2", 0, origin_y(e), 1, nullptr);
    return h;
}

// Writes one file: a primary unit, then EXTENSIONS images made by pixel(e, x, y).
template <typename F>
bool write_mosaic(const std::string &path, F pixel)
{
    File f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    FITSHead p = primary_header();
    bool ok = ft_imagewrite(f, p, nullptr, -32) == 1;
    ft_headfree(p, 1);
    std::vector<float> data(size_t(NX) * NY);
    for (int e = 1; ok && e <= EXTENSIONS; e++) {
        for (int y = 0; y < NY; y++)
            for (int x = 0; x < NX; x++) data[size_t(y) * NX + x] = float(pixel(e, x, y));
        FITSHead h = image_header(e);
        ok = ft_imagewrite(f, h, data.data(), -32) == 1; // swaps data in place
        ft_headfree(h, 1);
    }
    return std::fclose(f) == 0 && ok;
}

// Bright stars at random places of the sky.
struct Stars {
    std::vector<double> x, y, flux;
    explicit Stars(Random &rng)
    {
        for (int i = 0; i < 60; i++) {
            x.push_back(rng.uniform() * 1024);
            y.push_back(rng.uniform() * 1024);
            flux.push_back(2000 + 20000 * rng.uniform());
        }
    }
    // Their light at detector point (dx, dy) with the telescope moved by (ox, oy).
    double at(double dx, double dy, double ox = 0, double oy = 0) const
    {
        double v = 0;
        for (size_t i = 0; i < x.size(); i++) {
            const double r2 = (dx + ox - x[i]) * (dx + ox - x[i]) + (dy + oy - y[i]) * (dy + oy - y[i]);
            if (r2 < 64) v += flux[i] * std::exp(-r2 / 4.5);
        }
        return v;
    }
};

// The fringe amplitudes of each extension at the science file's sky.
constexpr double AMPLITUDE[EXTENSIONS + 1][2] = {{0, 0}, {40, 12}, {44, 10}, {37, 14}, {41, 11}};

// A pixel of an exposure whose sky (and so its fringes) is `scale` times the
// science file's, with the telescope moved by (ox, oy).
double exposure_pixel(Random &rng, const Stars &stars, double scale, double ox, double oy, int e, int x, int y)
{
    const int dx = origin_x(e) + x, dy = origin_y(e) + y;
    double v = scale * (1200.0 + 25 * e) + 0.02 * x - 0.015 * y;
    v += scale * (AMPLITUDE[e][0] * pattern(0, dx, dy) + AMPLITUDE[e][1] * pattern(1, dx, dy));
    v += 6.0 * std::sqrt(scale) * rng.normal();
    return v + stars.at(dx, dy, ox, oy);
}

int write_exposures(const std::string &dir, int n)
{
    Random rng{7};
    const Stars stars(rng);
    bool ok = n >= 1;
    for (int k = 0; ok && k < n; k++) {
        // Dithered by up to 60 pixels, the sky from 0.75 to 1.5 times the science file's.
        const double scale = 0.75 + 0.75 * k / std::max(1, n - 1);
        const double ox = (k * 41) % 120 - 60, oy = (k * 67) % 120 - 60;
        char name[32];
        std::snprintf(name, sizeof name, "/exp%02d.fits", k + 1);
        ok = write_mosaic(dir + name, [&](int e, int x, int y) { return exposure_pixel(rng, stars, scale, ox, oy, e, x, y); });
    }
    if (!ok) std::fprintf(stderr, "tolv_demo: cannot write the exposures in %s\n", dir.c_str());
    return ok ? 0 : 1;
}

int write_files(const std::string &dir)
{
    Random rng{2026};
    const Stars stars(rng);
    auto science = [&](int e, int x, int y) { return exposure_pixel(rng, stars, 1.0, 0, 0, e, x, y); };
    const bool ok = write_mosaic(dir + "/science.fits", science) &&
                    write_mosaic(dir + "/fringe1.fits", [](int e, int x, int y) {
                        return pattern(0, origin_x(e) + x, origin_y(e) + y);
                    }) &&
                    write_mosaic(dir + "/fringe2.fits", [](int e, int x, int y) {
                        return pattern(1, origin_x(e) + x, origin_y(e) + y);
                    });
    if (!ok) std::fprintf(stderr, "tolv_demo: cannot write the sample files in %s\n", dir.c_str());
    return ok ? 0 : 1;
}

// The amplitude of pattern k in an image: its projection onto the pattern, with
// pixels far from the median left out (stars).
double amplitude_of(const float *img, int e, int k)
{
    std::vector<float> sorted(img, img + size_t(NX) * NY);
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    const double median = sorted[sorted.size() / 2];
    double sum_if = 0, sum_ff = 0;
    for (int y = 0; y < NY; y++)
        for (int x = 0; x < NX; x++) {
            const double v = img[size_t(y) * NX + x] - median;
            if (std::fabs(v) > 200) continue;
            const double f = pattern(k, origin_x(e) + x, origin_y(e) + y);
            sum_if += v * f;
            sum_ff += f * f;
        }
    return sum_ff > 0 ? sum_if / sum_ff : 0.0;
}

int measure(const std::string &dir, const std::string &file)
{
    std::printf("Extn\tFringe1\tFringe2\n");
    for (int e = 1; e <= EXTENSIONS; e++) {
        const std::string name = (file.empty() ? dir + "/science.fits" : file) + "[" + std::to_string(e) + "]";
        FITSHead h = nullptr;
        void *data = nullptr;
        if (!ft_simpleimageread(name.c_str(), &h, &data, nullptr, -32)) {
            std::fprintf(stderr, "tolv_demo: cannot read %s\n", name.c_str());
            return 1;
        }
        const float *img = static_cast<const float *>(data);
        std::printf("%d\t%7.3f\t%7.3f\n", e, amplitude_of(img, e, 0), amplitude_of(img, e, 1));
        std::free(data);
        ft_headfree(h, 1);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "write") == 0) return write_files(argv[2]);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "measure") == 0) return measure(argv[2], argc == 4 ? argv[3] : "");
    if (argc == 4 && std::strcmp(argv[1], "exposures") == 0) return write_exposures(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "Usage: tolv_demo write DIR | exposures DIR N | measure DIR [FILE]\n");
    return 1;
}
