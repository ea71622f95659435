#include "fringefit.h"
#include "fit_pass.h"
#include "fit_reference.h"

#include "fatal_exit.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <utility>
#include <string>
#include <vector>

namespace {

using Image = std::function<float(int x, int y)>;

// The bits of a float as they lie in a file (big-endian), read as a host word,
// and back: one byte reversal on a little-endian host, none on a big-endian one.
uint32_t file_order(uint32_t u) { return std::endian::native == std::endian::little ? __builtin_bswap32(u) : u; }

uint32_t big_endian_bits(float v)
{
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return file_order(u);
}

// A mosaic of `units` image units (unit 0 primary, without data) whose big-endian
// float pixels lie in a shared mapping of a real temporary file, as they lie in a
// mapped FITS file.  Only unit 1's header is consulted by the fit, for the size.
class MappedMosaic {
  public:
    MappedMosaic(int nx, int ny, int units) : nx_(nx), ny_(ny)
    {
        char name[] = "/tmp/tolv_fringefit_XXXXXX";
        fd_ = mkstemp(name);
        unlink(name);
        bytes_ = size_t(nx) * ny * 4 * (units > 1 ? units - 1 : 1);
        if (ftruncate(fd_, off_t(bytes_)) != 0) ADD_FAILURE() << "ftruncate";
        map_ = static_cast<unsigned char *>(
            mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0));
        heads_.assign(MOSAIC_MAX_UNITS, nullptr);
        data_.assign(MOSAIC_MAX_UNITS, nullptr);
        basic_ = {};
        basic_.bitpix = -32;
        basic_.naxes = 2;
        basic_.naxis[0] = nx;
        basic_.naxis[1] = ny;
        head1_ = {};
        head1_.basic = &basic_;
        heads_[0] = &head0_;
        heads_[1] = &head1_;
        for (int e = 1; e < units; e++) data_[e] = map_ + size_t(e - 1) * nx * ny * 4;
        rec_ = {heads_.data(), data_.data(), nullptr, nullptr, units, nullptr};
    }
    ~MappedMosaic()
    {
        munmap(map_, bytes_);
        close(fd_);
    }
    Mosaic get() { return &rec_; }
    void fill(int e, const Image &f)
    {
        for (int y = 0; y < ny_; y++)
            for (int x = 0; x < nx_; x++) set(e, x, y, f(x, y));
    }
    void set(int e, int x, int y, float v)
    {
        const uint32_t b = big_endian_bits(v);
        std::memcpy(pixel(e, x, y), &b, 4);
    }
    float get(int e, int x, int y) const
    {
        uint32_t b;
        std::memcpy(&b, pixel(e, x, y), 4);
        b = file_order(b);
        float v;
        std::memcpy(&v, &b, 4);
        return v;
    }
    std::vector<unsigned char> bytes(int e) const
    {
        const unsigned char *p = static_cast<unsigned char *>(data_[e]);
        return std::vector<unsigned char>(p, p + size_t(nx_) * ny_ * 4);
    }

  private:
    unsigned char *pixel(int e, int x, int y) const
    {
        return static_cast<unsigned char *>(data_[e]) + (size_t(y) * nx_ + x) * 4;
    }
    int nx_, ny_;
    int fd_ = -1;
    size_t bytes_ = 0;
    unsigned char *map_ = nullptr;
    _FITSBasic basic_;
    _FITSHead head0_{}, head1_;
    std::vector<FITSHead> heads_;
    std::vector<void *> data_;
    _Mosaic rec_;
};

// Patterns with zero sum and zero first moment, so that u(x)v(y) is orthogonal to
// the constant, both gradients and any fringe g(x) + h(y): an image of model plus
// u(x)v(y) fits the model exactly and leaves u(x)v(y) as its residual.
const std::vector<int> u8 = {1, -1, -1, 1, 1, -1, -1, 1};
const std::vector<int> v6 = {1, -2, 1, 1, -2, 1};
const std::vector<int> u5 = {1, -1, 0, -1, 1};
const std::vector<int> v3 = {1, -2, 1};

float fringe1(int x, int y) { return float(x * x + (y % 3)); }
float fringe2(int x, int y) { return float(y * y - 2 * (x % 2)); }

std::string run_fit(Mosaic science, std::vector<Mosaic> fringes)
{
    std::FILE *out = std::tmpfile();
    fringe_fit(science, fringes.data(), int(fringes.size()), out);
    std::rewind(out);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
    std::fclose(out);
    return text;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++)
        if (text[i] == '\n') {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

std::vector<std::string> fields(const std::string &line)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); i++)
        if (i == line.size() || line[i] == '\t') {
            out.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

std::string f6(double v)
{
    char b[64];
    std::snprintf(b, sizeof b, "%f", v);
    return b;
}

// A science frame 10 + 3(x - nx/2) + 5(y - ny/2) + 2 fringe1 - 4 fringe2 + u(x)v(y).
struct Scene {
    int nx, ny;
    const std::vector<int> &u, &v;
    float science(int x, int y) const
    {
        return float(10 + 3 * (x - nx / 2) + 5 * (y - ny / 2) + 2 * fringe1(x, y) -
                     4 * fringe2(x, y) + u[x] * v[y]);
    }
    float noise(int x, int y) const { return float(u[x] * v[y]); }
};

struct Frames {
    Scene scene;
    MappedMosaic sci, f1, f2;
    Frames(const std::vector<int> &u, const std::vector<int> &v, int units)
        : scene{int(u.size()), int(v.size()), u, v}, sci(scene.nx, scene.ny, units),
          f1(scene.nx, scene.ny, units), f2(scene.nx, scene.ny, units)
    {
        for (int e = 1; e < units; e++) {
            sci.fill(e, [&](int x, int y) { return scene.science(x, y); });
            f1.fill(e, fringe1);
            f2.fill(e, fringe2);
        }
    }
};

} // namespace

TEST(fringefit, table_head_for_one_and_two_fringe_frames)
{
    MappedMosaic sci(4, 4, 1), f1(4, 4, 1), f2(4, 4, 1);
    EXPECT_EQ(run_fit(sci.get(), {f1.get()}),
              "Extn\tIter\tSigma\tNpix\tAconst\tAx\tAy\tAfringe00\n"
              "----\t----\t-----\t----\t------\t--\t--\t---------\n");
    EXPECT_EQ(run_fit(sci.get(), {f1.get(), f2.get()}),
              "Extn\tIter\tSigma\tNpix\tAconst\tAx\tAy\tAfringe00\tAfringe01\n"
              "----\t----\t-----\t----\t------\t--\t--\t---------\t---------\n");
}

TEST(fringefit, five_rows_per_extension_with_the_total_model)
{
    Frames s(u8, v6, 3);
    const auto rows = lines(run_fit(s.sci.get(), {s.f1.get(), s.f2.get()}));
    ASSERT_EQ(rows.size(), 2u + 10u);
    // sigma is the rms of the residual u(x)v(y): sum of squares 8 * 12 over 48 pixels.
    const std::string sigma = f6(double(float(std::sqrt(96.0 / 48.0))));
    for (int e = 1; e <= 2; e++)
        for (int iter = 0; iter < 5; iter++) {
            const auto f = fields(rows[size_t(2 + (e - 1) * 5 + iter)]);
            ASSERT_EQ(f.size(), 9u);
            EXPECT_EQ(f[0], std::to_string(e));
            EXPECT_EQ(f[1], std::to_string(iter));
            EXPECT_EQ(f[2], sigma);
            EXPECT_EQ(f[3], "48");
            EXPECT_EQ(f[4], "10.000000");
            EXPECT_EQ(f[5], "3.000000");
            EXPECT_EQ(f[6], "5.000000");
            EXPECT_EQ(f[7], "2.000000");
            EXPECT_EQ(f[8], "-4.000000");
        }
}

TEST(fringefit, written_back_pixels_are_the_nearest_floats_of_the_residual)
{
    Frames s(u8, v6, 3);
    const auto primary_before = s.sci.bytes(1).size();
    run_fit(s.sci.get(), {s.f1.get(), s.f2.get()});
    EXPECT_EQ(primary_before, size_t(48 * 4));
    for (int e = 1; e <= 2; e++) {
        const auto got = s.sci.bytes(e);
        for (int y = 0; y < 6; y++)
            for (int x = 0; x < 8; x++) {
                const uint32_t want = big_endian_bits(s.scene.noise(x, y));
                uint32_t have;
                std::memcpy(&have, &got[size_t(y * 8 + x) * 4], 4);
                EXPECT_EQ(have, want) << "extension " << e << " pixel " << x << "," << y;
            }
    }
}

TEST(fringefit, odd_sizes_centre_the_gradients_by_integer_division)
{
    Frames s(u5, v3, 2);
    const auto rows = lines(run_fit(s.sci.get(), {s.f1.get(), s.f2.get()}));
    ASSERT_EQ(rows.size(), 7u);
    for (int iter = 0; iter < 5; iter++) {
        const auto f = fields(rows[size_t(2 + iter)]);
        EXPECT_EQ(f[4], "10.000000"); // x - 2 and y - 1, not x - 2.5 and y - 1.5
        EXPECT_EQ(f[5], "3.000000");
        EXPECT_EQ(f[6], "5.000000");
    }
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 5; x++) EXPECT_EQ(s.sci.get(1, x, y), s.scene.noise(x, y));
}

TEST(fringefit, deviant_pixel_is_clipped_from_iteration_1)
{
    Frames s(u8, v6, 2);
    s.sci.set(1, 3, 2, s.scene.science(3, 2) + 1000.0f);
    const auto rows = lines(run_fit(s.sci.get(), {s.f1.get(), s.f2.get()}));
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(fields(rows[2])[3], "48");
    for (int iter = 1; iter < 5; iter++) {
        const auto f = fields(rows[size_t(2 + iter)]);
        EXPECT_EQ(f[3], "47");
        // Without the pixel the noise is no longer orthogonal to the model: close.
        EXPECT_NEAR(std::stod(f[4]), 10.0, 0.5);
        EXPECT_NEAR(std::stod(f[7]), 2.0, 0.05);
    }
    EXPECT_NEAR(s.sci.get(1, 3, 2), 1000.0f + s.scene.noise(3, 2), 1.0);
}

TEST(fringefit, non_finite_pixels_take_no_part)
{
    Frames s(u8, v6, 2);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    s.sci.set(1, 1, 1, nan);
    s.sci.set(1, 4, 3, -inf);
    s.f1.set(1, 6, 4, inf);
    s.f2.set(1, 2, 5, nan);
    const auto nan_bits = s.sci.bytes(1);
    const auto rows = lines(run_fit(s.sci.get(), {s.f1.get(), s.f2.get()}));
    ASSERT_EQ(rows.size(), 7u);
    for (int iter = 0; iter < 5; iter++) {
        const auto f = fields(rows[size_t(2 + iter)]);
        EXPECT_EQ(f[3], "44");
        EXPECT_EQ(f[4].find("nan"), std::string::npos);
        EXPECT_NEAR(std::stod(f[4]), 10.0, 0.5);
        EXPECT_NEAR(std::stod(f[7]), 2.0, 0.1);
    }
    // Non-finite science pixels are written back bit for bit.
    const auto after = s.sci.bytes(1);
    const size_t p1 = (1 * 8 + 1) * 4, p2 = (3 * 8 + 4) * 4;
    EXPECT_EQ(std::memcmp(&after[p1], &nan_bits[p1], 4), 0);
    EXPECT_EQ(std::memcmp(&after[p2], &nan_bits[p2], 4), 0);
    for (int y = 0; y < 6; y++)
        for (int x = 0; x < 8; x++)
            if (!((x == 1 && y == 1) || (x == 4 && y == 3))) {
                EXPECT_TRUE(std::isfinite(s.sci.get(1, x, y))) << x << "," << y;
            }
    // A pixel whose fringe value is missing keeps that fringe term in its residual.
    EXPECT_NEAR(s.sci.get(1, 6, 4), s.scene.noise(6, 4) + 2 * fringe1(6, 4), 1.0);
    EXPECT_NEAR(s.sci.get(1, 2, 5), s.scene.noise(2, 5) - 4 * fringe2(2, 5), 1.0);
}

TEST(fringefit, singular_fit_exits_after_earlier_extensions_are_written)
{
    Frames s(u8, v6, 3);
    s.f2.fill(2, [](int, int) { return 0.0f; });
    const auto ext2 = s.sci.bytes(2);
    char path[] = "/tmp/tolv_table_XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    auto fit = [&] {
        std::FILE *out = std::fopen(path, "w");
        Mosaic fr[2] = {s.f1.get(), s.f2.get()};
        fringe_fit(s.sci.get(), fr, 2, out);
    };
    EXPECT_FATAL(fit(), "Singular matrix in routine LUDCMP");
    EXPECT_EQ(s.sci.get(1, 0, 0), s.scene.noise(0, 0));
    EXPECT_EQ(s.sci.get(1, 7, 5), s.scene.noise(7, 5));
    EXPECT_EQ(s.sci.bytes(2), ext2);
    std::FILE *in = std::fopen(path, "r");
    std::string table;
    for (int c; (c = std::fgetc(in)) != EOF;) table += char(c);
    std::fclose(in);
    unlink(path);
    EXPECT_EQ(lines(table).size(), 2u + 5u);
}

TEST(fringefit, image_one_pixel_wide_is_singular_before_any_row)
{
    MappedMosaic sci(1, 6, 2), f1(1, 6, 2);
    sci.fill(1, [](int, int y) { return float(y * y); });
    f1.fill(1, [](int, int y) { return float(y % 2); });
    const auto before = sci.bytes(1);
    char path[] = "/tmp/tolv_table_XXXXXX";
    close(mkstemp(path));
    auto fit = [&] {
        std::FILE *out = std::fopen(path, "w");
        Mosaic fr = f1.get();
        fringe_fit(sci.get(), &fr, 1, out);
    };
    EXPECT_FATAL(fit(), "Singular matrix in routine LUDCMP");
    EXPECT_EQ(sci.bytes(1), before);
    std::FILE *in = std::fopen(path, "r");
    std::string table;
    for (int c; (c = std::fgetc(in)) != EOF;) table += char(c);
    std::fclose(in);
    unlink(path);
    EXPECT_EQ(lines(table).size(), 2u);
}

namespace {

// Random frames: sky, gradients, fringes of random amplitude, noise, a few bright
// stars (clipped) and, when asked, some pixels that are not finite.
struct RandomScene {
    int nx, ny, nfringe, units;
    bool non_finite;
    unsigned seed;
};

// Runs one path on fresh copies of the same frames; returns the table and the
// written bytes of every extension.
struct PathResult {
    std::string table;
    std::vector<std::vector<unsigned char>> bytes;
    std::vector<double> trace;
    std::vector<std::vector<unsigned char>> original;
};

PathResult run_path(const RandomScene &r, FitPath path)
{
    MappedMosaic sci(r.nx, r.ny, r.units);
    std::vector<std::unique_ptr<MappedMosaic>> fr;
    for (int k = 0; k < r.nfringe; k++) fr.push_back(std::make_unique<MappedMosaic>(r.nx, r.ny, r.units));
    unsigned state = r.seed;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return double(state >> 8) / double(1u << 24);
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int e = 1; e < r.units; e++) {
        std::vector<std::vector<float>> f(size_t(r.nfringe), std::vector<float>(size_t(r.nx * r.ny)));
        for (int k = 0; k < r.nfringe; k++)
            for (int y = 0; y < r.ny; y++)
                for (int x = 0; x < r.nx; x++) {
                    const float v = float(std::sin(0.3 * (k + 1) * x + 0.2 * y * (k + 2)) + 0.1 * next());
                    f[size_t(k)][size_t(y * r.nx + x)] = v;
                    fr[size_t(k)]->set(e, x, y, v);
                }
        for (int y = 0; y < r.ny; y++)
            for (int x = 0; x < r.nx; x++) {
                double v = 1000.0 + 0.5 * x - 0.25 * y + 20.0 * (next() - 0.5);
                for (int k = 0; k < r.nfringe; k++) v += (30.0 + 5 * k) * f[size_t(k)][size_t(y * r.nx + x)];
                if (next() < 0.02) v += 5000.0 * next();
                sci.set(e, x, y, float(v));
            }
        if (r.non_finite) {
            for (int i = 0; i < 5; i++) {
                const int x = int(next() * r.nx), y = int(next() * r.ny);
                sci.set(e, x, y, i % 2 ? nan : -std::numeric_limits<float>::infinity());
                if (r.nfringe > 0) fr[size_t(i % r.nfringe)]->set(e, int(next() * r.nx), int(next() * r.ny), nan);
            }
        }
    }
    std::vector<std::vector<unsigned char>> original;
    for (int e = 1; e < r.units; e++) original.push_back(sci.bytes(e));
    std::vector<Mosaic> fm;
    for (auto &m : fr) fm.push_back(m->get());
    std::FILE *out = std::tmpfile();
    FitTrace trace;
    fringe_fit(sci.get(), fm.data(), int(fm.size()), out, path, &trace);
    std::rewind(out);
    std::string table;
    for (int c; (c = std::fgetc(out)) != EOF;) table += char(c);
    std::fclose(out);
    std::vector<std::vector<unsigned char>> bytes;
    for (int e = 1; e < r.units; e++) bytes.push_back(sci.bytes(e));
    return {table, bytes, trace.numbers, original};
}

} // namespace

TEST(fringefit, lean_path_prints_the_design_matrix_table_and_writes_within_one_ulp)
{
    const RandomScene scenes[] = {
        {64, 48, 1, 3, false, 1},  {63, 37, 2, 3, false, 2}, {40, 40, 2, 2, true, 3},
        {33, 65, 3, 2, true, 4},   {50, 20, 4, 2, false, 5}, {31, 29, 5, 2, true, 6},
        {128, 96, 2, 2, true, 7},
        // Sums of squared gradients beyond 2^53, where doubles round them.
        {524288, 2, 1, 2, false, 8},
    };
    size_t differing = 0, cancelled = 0, pixels = 0;
    for (const auto &r : scenes) {
        const auto straight = run_path(r, FitPath::straight);
        const auto lean = run_path(r, FitPath::lean);
        // The same digits in every column, pixel counts included.
        EXPECT_EQ(lean.table, straight.table) << "scene seed " << r.seed;
        ASSERT_EQ(lean.bytes.size(), straight.bytes.size());
        for (size_t e = 0; e < lean.bytes.size(); e++) {
            const size_t npix = lean.bytes[e].size() / 4;
            const StoredDifference d =
                stored_difference(lean.bytes[e].data(), straight.bytes[e].data(), lean.original[e].data(), npix);
            EXPECT_EQ(d.beyond_one_ulp, 0u) << "scene seed " << r.seed << " extension " << e + 1;
            differing += d.differing;
            cancelled += d.cancelled;
            pixels += npix;
        }
        // The scenes must exercise the clip: some row of iterations 1..4 leaves pixels out.
        const auto rows = lines(straight.table);
        bool clipped = false;
        for (size_t i = 2; i < rows.size(); i++) {
            const auto f = fields(rows[i]);
            clipped |= f[1] != "0" && std::stoi(f[3]) < r.nx * r.ny - (r.non_finite ? 10 : 0);
        }
        EXPECT_TRUE(clipped) << "scene seed " << r.seed;
    }
    std::printf("written pixels not those of the design-matrix path: %zu of %zu, %zu of them residuals near 0\n",
                differing, pixels, cancelled);
}

TEST(fringefit, stored_pixels_stay_finite_and_keep_what_cannot_be_corrected)
{
    // 4 x 2 pixels, one frame, the model 2 x fringe (no constant, no gradients).
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> science = {3e38f, -3e38f, std::bit_cast<float>(0x7fc01234u), 5.0f,
                                        1.5f,  2.0f,   -1.0f,                            7.0f};
    const std::vector<float> fringe = {-1e38f, 1e38f, 1.0f, nan, 0.25f, 0.5f, 0.5f, 1.0f};
    std::vector<uint32_t> s_be, f_be;
    for (float v : science) s_be.push_back(big_endian_bits(v));
    for (float v : fringe) f_be.push_back(big_endian_bits(v));
    const FitGeometry g{4, 2, 8, 1, 4};
    ExtensionData x;
    x.science = s_be.data();
    x.fringes = {f_be.data()};
    const double a[] = {0.0, 0.0, 0.0, 0.0, 2.0};
    // `to` holds other bits than the science file: the pixel that cannot be
    // corrected gets the science file's own (the NaN's payload kept), and
    // nothing outside the range is touched.
    std::vector<uint32_t> to(8, big_endian_bits(-123.0f));
    store_corrected(g, x, a, to.data() + 1, 1, 6); // pixels 1..6 only
    const float want[] = {-123.0f, -std::numeric_limits<float>::max(), science[2], 5.0f, 1.0f, 1.0f, -2.0f, -123.0f};
    for (int p = 0; p < 8; p++) EXPECT_EQ(to[size_t(p)], big_endian_bits(want[p])) << "pixel " << p;
    EXPECT_EQ(to[2], s_be[2]);
    store_corrected(g, x, a, to.data(), 0, 1);
    EXPECT_EQ(to[0], big_endian_bits(std::numeric_limits<float>::max())); // 5e38, held
    // The residuals in double and the states, as the traces see them.
    std::vector<double> r(8);
    std::vector<unsigned char> state(8);
    pixel_residuals(g, x, a, r.data(), state.data());
    EXPECT_EQ(r[0], double(3e38f) + 2.0 * double(1e38f));
    EXPECT_EQ(state, (std::vector<unsigned char>{USABLE, USABLE, SCIENCE_NOT_FINITE, FRINGE_NOT_FINITE, USABLE, USABLE,
                                                 USABLE, USABLE}));
}
