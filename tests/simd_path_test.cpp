// The instruction sets of the lean fit: the choice (CPU, TOLV_SIMD, forced); on
// every set this machine runs the same doubles, table and bytes, bit for bit;
// and beside the design-matrix fit the same table and pixel states, with the
// written pixels within one unit in the last place.
#include "fit_reference.h"
#include "fringefit.h"
#include "simd_path.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

const SimdPath every_path[] = {SimdPath::sse2, SimdPath::avx2, SimdPath::avx512};

// Back to the automatic choice when a test ends, however it ends.
struct Unforced {
    ~Unforced() { unforce_simd_path(); }
};

uint32_t file_bits(uint32_t host)
{
    return std::endian::native == std::endian::little ? __builtin_bswap32(host) : host;
}

uint32_t file_bits(float v) { return file_bits(std::bit_cast<uint32_t>(v)); }

// One extension as it lies in the files: big-endian floats, and a mask (empty: none).
struct Extension {
    int nx, ny, nf;
    std::vector<uint32_t> science;
    std::vector<std::vector<uint32_t>> fringes;
    std::vector<unsigned char> mask;

    FitGeometry geometry() const { return {nx, ny, nx * ny, nf, nf + 3}; }
    ExtensionData data() const
    {
        ExtensionData x;
        x.extn = 1;
        x.science = science.data();
        for (const auto &f : fringes) x.fringes.push_back(f.data());
        x.mask = mask.empty() ? nullptr : mask.data();
        return x;
    }
};

struct Scene {
    int nx, ny, nf;
    bool masked, non_finite;
};

// Sky, gradients, fringes of different amplitudes, noise and bright pixels the
// clip must leave out; with `masked`, one pixel in ten masked; with
// `non_finite`, NaNs (one with a payload), infinities, -0 and a subnormal among
// the science values, and NaNs, infinities and -0 among the fringe values.
Extension make_extension(const Scene &s, uint32_t seed)
{
    uint32_t state = seed;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return double(state >> 8) / double(1u << 24);
    };
    const size_t npix = size_t(s.nx) * size_t(s.ny);
    Extension e{s.nx, s.ny, s.nf, std::vector<uint32_t>(npix), {}, {}};
    std::vector<std::vector<float>> f(size_t(s.nf), std::vector<float>(npix));
    for (int k = 0; k < s.nf; k++) {
        e.fringes.emplace_back(npix);
        for (size_t p = 0; p < npix; p++) {
            const int x = int(p % size_t(s.nx)), y = int(p / size_t(s.nx));
            f[size_t(k)][p] = float(std::sin(0.7 * (k + 1) * x + 0.3 * (k + 2) * y) + 0.2 * next());
        }
    }
    for (size_t p = 0; p < npix; p++) {
        const int x = int(p % size_t(s.nx)), y = int(p / size_t(s.nx));
        double v = 1000.0 + 0.5 * x - 0.25 * y + 20.0 * (next() - 0.5);
        for (int k = 0; k < s.nf; k++) v += (30.0 + 5 * k) * f[size_t(k)][p];
        if (next() < 0.03) v += 2000.0 + 3000.0 * next();
        e.science[p] = file_bits(float(v));
    }
    if (s.non_finite) {
        const uint32_t specials[] = {0x7fc01234u, 0xffc00000u, 0x7f800000u, 0xff800000u};
        for (int i = 0; i < 12; i++) {
            const size_t p = size_t(next() * double(npix));
            e.science[p] = file_bits(specials[i % 4]);
            f[size_t(i % s.nf)][size_t(next() * double(npix))] = std::bit_cast<float>(specials[(i + 1) % 4]);
        }
        e.science[size_t(next() * double(npix))] = file_bits(-0.0f);
        e.science[size_t(next() * double(npix))] = file_bits(1e-40f);
        f[0][size_t(next() * double(npix))] = -0.0f;
    }
    for (int k = 0; k < s.nf; k++)
        for (size_t p = 0; p < npix; p++) e.fringes[size_t(k)][p] = file_bits(f[size_t(k)][p]);
    if (s.masked)
        for (size_t p = 0; p < npix; p++) e.mask.push_back(next() < 0.1 ? 1 + (p % 200) : 0);
    return e;
}

// Everything a fit of the extension shows: the pixel states and usable pixels
// after loading, the outcome, the table rows, every double of the trace, the
// stored bytes and the corrected floats.
struct Fitted {
    int usable;
    std::vector<unsigned char> states;
    FitOutcome outcome;
    std::string rows;
    std::vector<double> trace;
    std::vector<uint32_t> stored;
    std::vector<uint32_t> corrected; // the bits of the floats
};

Fitted fit(const Extension &e, FitPath path, FitSettings settings = {})
{
    const FitGeometry g = e.geometry();
    const ExtensionData x = e.data();
    Fitted r;
    {
        auto steps = make_steps(g, path);
        r.usable = steps->load(x);
        r.states.assign(steps->pixel_states(), steps->pixel_states() + g.npix);
    }
    ExtensionFitter fitter = make_fitter(g, path, settings);
    FitTrace trace;
    r.outcome = fitter.fit(x, r.rows, &trace);
    r.trace = trace.numbers;
    if (r.outcome == FitOutcome::fitted) {
        r.stored = e.science;
        fitter.store(r.stored.data(), 0, g.npix);
        const float *corrected = fitter.corrected();
        for (int p = 0; p < g.npix; p++) r.corrected.push_back(std::bit_cast<uint32_t>(corrected[p]));
    }
    return r;
}

// The doubles of a and b that differ in any bit, and the lengths if they differ.
size_t bits_differing(const std::vector<double> &a, const std::vector<double> &b)
{
    if (a.size() != b.size()) return std::max(a.size(), b.size());
    size_t n = 0;
    for (size_t i = 0; i < a.size(); i++) n += std::memcmp(&a[i], &b[i], sizeof(double)) != 0;
    return n;
}

// The lean fit beside the design-matrix one: the same table and states, the
// stored pixels within one unit in the last place; returns how they differ.
StoredDifference expect_close(const Fitted &lean, const Fitted &straight, const Extension &e, const std::string &what)
{
    EXPECT_EQ(lean.usable, straight.usable) << what;
    EXPECT_EQ(lean.states, straight.states) << what;
    EXPECT_EQ(lean.outcome, straight.outcome) << what;
    EXPECT_EQ(lean.rows, straight.rows) << what;
    EXPECT_EQ(lean.stored.size(), straight.stored.size()) << what;
    if (lean.stored.size() != straight.stored.size()) return {};
    const StoredDifference d =
        stored_difference(lean.stored.data(), straight.stored.data(), e.science.data(), lean.stored.size());
    EXPECT_EQ(d.beyond_one_ulp, 0u) << what;
    return d;
}

void expect_same(const Fitted &got, const Fitted &want, const std::string &what)
{
    EXPECT_EQ(got.usable, want.usable) << what;
    EXPECT_EQ(got.states, want.states) << what;
    EXPECT_EQ(got.outcome, want.outcome) << what;
    EXPECT_EQ(got.rows, want.rows) << what;
    EXPECT_EQ(bits_differing(got.trace, want.trace), 0u) << what;
    EXPECT_EQ(got.stored, want.stored) << what;
    EXPECT_EQ(got.corrected, want.corrected) << what;
}

// The Npix column of each table row.
std::vector<int> fitted_pixels(const std::string &rows)
{
    std::vector<int> n;
    std::istringstream in(rows);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string extn, iter, sigma, npix;
        std::getline(fields, extn, '\t');
        std::getline(fields, iter, '\t');
        std::getline(fields, sigma, '\t');
        std::getline(fields, npix, '\t');
        n.push_back(std::stoi(npix));
    }
    return n;
}

} // namespace

TEST(simd_path, choice_follows_cpu_request_and_force)
{
    Unforced unforced;
    const std::vector<SimdPath> paths = supported_simd_paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), SimdPath::sse2);
    for (size_t i = 1; i < paths.size(); i++) EXPECT_LT(int(paths[i - 1]), int(paths[i]));
    const SimdPath best = paths.back();
    const char *const saved = std::getenv("TOLV_SIMD");
    const std::string saved_value = saved ? saved : "";
    for (SimdPath asked : every_path) {
        // What runs: the path asked for, else the best one below it this CPU has.
        SimdPath runs = SimdPath::sse2;
        for (SimdPath p : paths)
            if (p <= asked) runs = p;
        const char *name = simd_path_name(asked);
        SimdPath named = SimdPath::avx2;
        EXPECT_TRUE(simd_path_named(name, &named));
        EXPECT_EQ(named, asked);
        EXPECT_EQ(choose_simd_path(name), runs) << name;
        EXPECT_EQ(force_simd_path(asked), runs) << name;
        EXPECT_EQ(simd_path(), runs) << name;
        unforce_simd_path();
        setenv("TOLV_SIMD", name, 1);
        EXPECT_EQ(simd_path(), runs) << name;
    }
    // Forcing wins over TOLV_SIMD; anything that names no path asks for the best.
    EXPECT_EQ(force_simd_path(SimdPath::sse2), SimdPath::sse2);
    unforce_simd_path();
    for (const char *other : {"", "SSE2", "avx", "avx5120", "sse2 "}) {
        SimdPath unchanged = SimdPath::avx2;
        EXPECT_FALSE(simd_path_named(other, &unchanged)) << other;
        EXPECT_EQ(unchanged, SimdPath::avx2) << other;
        EXPECT_EQ(choose_simd_path(other), best) << other;
        setenv("TOLV_SIMD", other, 1);
        EXPECT_EQ(simd_path(), best) << other;
    }
    EXPECT_FALSE(simd_path_named(nullptr, nullptr));
    EXPECT_EQ(choose_simd_path(nullptr), best);
    if (saved)
        setenv("TOLV_SIMD", saved_value.c_str(), 1);
    else
        unsetenv("TOLV_SIMD");
}

TEST(simd_path, every_path_fits_bit_for_bit_alike_and_close_to_the_design_matrix)
{
    Unforced unforced;
    const Scene scenes[] = {
        // Narrower than the 8 lanes, then odd widths past 8, 16, 32 and 64
        // columns; 1 to 16 frames have fixed-size passes, 17 the general one.
        {7, 9, 1, false, true},   {5, 13, 2, true, false}, {13, 11, 3, false, true}, {9, 17, 4, true, true},
        {11, 12, 5, false, true}, {17, 10, 1, true, true}, {31, 7, 2, false, true},  {33, 9, 3, true, false},
        {63, 6, 4, false, true},  {65, 5, 5, true, true},  {64, 32, 2, true, true}, {100, 20, 3, false, true},
        // Rows across the store's stretches of 256 pixels and the lane tails.
        {1029, 3, 2, true, true}, {515, 4, 4, false, true},
        // Many frames: fixed-size at 8 and 16, the general pass at 17.
        {37, 11, 8, true, true}, {29, 13, 16, false, true}, {23, 17, 17, true, true},
    };
    uint32_t seed = 1;
    size_t differing = 0, cancelled = 0, pixels = 0;
    for (const Scene &s : scenes) {
        const Extension e = make_extension(s, seed++);
        const Fitted straight = fit(e, FitPath::straight);
        const std::string scene = std::to_string(s.nx) + " x " + std::to_string(s.ny) + ", " +
                                  std::to_string(s.nf) + " frames";
        ASSERT_EQ(straight.outcome, FitOutcome::fitted) << scene;
        // The scene exercises the clip: a later fit uses fewer pixels than the first.
        const std::vector<int> npix = fitted_pixels(straight.rows);
        ASSERT_EQ(npix.size(), size_t(FIT_ITERATIONS)) << scene;
        EXPECT_LT(npix.back(), npix.front()) << scene;
        ASSERT_EQ(force_simd_path(SimdPath::sse2), SimdPath::sse2);
        const Fitted want = fit(e, FitPath::lean);
        const StoredDifference d = expect_close(want, straight, e, scene);
        differing += d.differing;
        cancelled += d.cancelled;
        pixels += size_t(s.nx) * size_t(s.ny);
        for (SimdPath p : supported_simd_paths()) {
            ASSERT_EQ(force_simd_path(p), p);
            expect_same(fit(e, FitPath::lean), want, scene + " on " + simd_path_name(p));
        }
    }
    std::printf("stored pixels not those of the design-matrix path: %zu of %zu, %zu of them residuals near 0\n",
                differing, pixels, cancelled);
    // A clip that leaves out most pixels: the normal matrix of the kept pixels
    // is then their own sum, not the first fit's less the rest.
    const Extension e = make_extension({120, 40, 3, true, true}, 5);
    const FitSettings tight{FIT_ITERATIONS, 0.3f};
    const Fitted straight = fit(e, FitPath::straight, tight);
    ASSERT_EQ(force_simd_path(SimdPath::sse2), SimdPath::sse2);
    const Fitted want = fit(e, FitPath::lean, tight);
    const std::vector<int> npix = fitted_pixels(straight.rows);
    EXPECT_LT(2 * npix.back(), npix.front());
    expect_close(want, straight, e, "clip 0.3");
    for (SimdPath p : supported_simd_paths()) {
        ASSERT_EQ(force_simd_path(p), p);
        expect_same(fit(e, FitPath::lean, tight), want, std::string("clip 0.3 on ") + simd_path_name(p));
    }
}

TEST(simd_path, wide_rows_and_singular_fits_alike_on_every_path)
{
    Unforced unforced;
    // 400001 x 2 pixels: the sums of gx^2 pass 2^53, where doubles round them.
    const Extension wide = make_extension({400001, 2, 1, true, true}, 99);
    const Fitted straight = fit(wide, FitPath::straight);
    ASSERT_EQ(straight.outcome, FitOutcome::fitted);
    ASSERT_EQ(force_simd_path(SimdPath::sse2), SimdPath::sse2);
    const Fitted want = fit(wide, FitPath::lean);
    const StoredDifference d = expect_close(want, straight, wide, "400001 x 2");
    std::printf("400001 x 2: stored pixels not those of the design-matrix path: %zu, %zu of them residuals near 0\n",
                d.differing, d.cancelled);
    for (SimdPath p : supported_simd_paths()) {
        ASSERT_EQ(force_simd_path(p), p);
        expect_same(fit(wide, FitPath::lean), want, std::string("400001 x 2 on ") + simd_path_name(p));
    }
    // One column: gx is 0 everywhere and the first fit is singular (the design
    // matrix path would end the process); every path says so alike.
    const Extension column = make_extension({1, 40, 2, false, true}, 7);
    ASSERT_EQ(force_simd_path(SimdPath::sse2), SimdPath::sse2);
    const Fitted first = fit(column, FitPath::lean);
    EXPECT_EQ(first.outcome, FitOutcome::singular);
    EXPECT_EQ(first.rows, "");
    for (SimdPath p : supported_simd_paths()) {
        ASSERT_EQ(force_simd_path(p), p);
        expect_same(fit(column, FitPath::lean), first, std::string("one column on ") + simd_path_name(p));
    }
}

namespace {

// A scene made with integer arithmetic and exact sums of doubles only (no libm),
// so that every build makes the same bytes: sky, gradients, 1 to 5 fringe frames,
// noise, bright pixels, a mask and values that are not finite.
Extension portable_extension(int nx, int ny, int nf, uint32_t seed)
{
    uint32_t state = seed;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return double(state >> 8) / double(1u << 24);
    };
    const size_t npix = size_t(nx) * size_t(ny);
    Extension e{nx, ny, nf, std::vector<uint32_t>(npix), {}, std::vector<unsigned char>(npix)};
    std::vector<std::vector<float>> f(static_cast<size_t>(nf), std::vector<float>(npix));
    for (int k = 0; k < nf; k++) {
        for (size_t p = 0; p < npix; p++) f[size_t(k)][p] = float(next() - 0.5 + double((p * size_t(k + 3)) % 7) / 7.0);
        e.fringes.emplace_back(npix);
    }
    for (size_t p = 0; p < npix; p++) {
        const int x = int(p % size_t(nx)), y = int(p / size_t(nx));
        double v = 1000.0 + 0.5 * x - 0.25 * y + 20.0 * (next() - 0.5);
        for (int k = 0; k < nf; k++) v += (30.0 + 5 * k) * double(f[size_t(k)][p]);
        if (next() < 0.03) v += 2000.0 + 3000.0 * next();
        e.science[p] = file_bits(float(v));
        e.mask[p] = next() < 0.05 ? 1 : 0;
    }
    e.science[npix / 3] = file_bits(0x7fc00000u);
    e.science[npix / 2] = file_bits(0xff800000u);
    f[0][npix / 5] = std::bit_cast<float>(0x7f800000u);
    for (int k = 0; k < nf; k++)
        for (size_t p = 0; p < npix; p++) e.fringes[size_t(k)][p] = file_bits(f[size_t(k)][p]);
    return e;
}

// FNV-1a over bytes.
uint64_t fnv(uint64_t h, const void *p, size_t n)
{
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * 0x100000001b3u;
    return h;
}

} // namespace

// The bits of the fit do not depend on the host: the 32-bit and the big-endian
// builds run this test too, and must give the digests the x86-64 build gave (of
// the table and the stored bytes, on every instruction set).  A change to the
// fit's arithmetic changes them, knowingly.
TEST(simd_path, every_build_fits_to_the_same_bits)
{
    Unforced unforced;
    struct Case {
        int nx, ny, nf;
        uint64_t digest;
    };
    const Case cases[] = {
        {203, 61, 2, 10682786885802443220u}, {77, 45, 5, 6914633478027586914u}, {64, 40, 17, 1457310760411353442u}};
    uint32_t seed = 11;
    for (const Case &c : cases) {
        const Extension e = portable_extension(c.nx, c.ny, c.nf, seed++);
        for (SimdPath p : supported_simd_paths()) {
            ASSERT_EQ(force_simd_path(p), p);
            const Fitted got = fit(e, FitPath::lean);
            ASSERT_EQ(got.outcome, FitOutcome::fitted);
            uint64_t h = fnv(0xcbf29ce484222325u, got.rows.data(), got.rows.size());
            // The stored bytes as they lie in the file, whatever the host's order.
            h = fnv(h, got.stored.data(), 4 * got.stored.size());
            EXPECT_EQ(h, c.digest) << c.nx << " x " << c.ny << ", " << c.nf << " frames on " << simd_path_name(p);
        }
    }
}
