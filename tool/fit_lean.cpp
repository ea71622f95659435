// The fit without a design matrix, row by row.  Fringe values stay single
// precision (they are floats widened to double), the constant and gradient values
// are made on the fly, pixels with weight 0 are skipped (they add exactly +0 to
// every sum), and the residual pass also accumulates the next fit's normal
// equations.  Each accumulator receives the same terms in the same order as in
// lfit3, so every result is identical to the design-matrix path.
//
// The sums of products of the constant and the two gradients are sums of
// integers; while every partial sum stays below 2^53 they are exact in double in
// any order, so they are counted per row in 64-bit integers instead.
//
// The other accumulators are independent of each other, so they share vector
// registers, one lane each: per kept pixel, the basis u = (1, gx, gy, f_0, ...)
// is multiplied by each fringe value (fringe k's row of the triangle is
// f_k * u[0..3+k]) and by the data (the right-hand side, d * u), a few vector
// multiplies and adds.  The passes over the pixels (residual, clip, chisq) are
// plain loops the compiler vectorizes over the pixels; the chisq total stays one
// sum in pixel order.  Every pass is compiled once per instruction set (SSE2,
// AVX2, AVX-512, of 2, 4 or 8 doubles a vector), and simd_path chooses at run time.
#include "fit_lean.h"

#include "lufit.h"
#include "pixels.h"
#include "simd_path.h"
#include "tsutil.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

// Row r of the accumulators: r < nf is fringe r's row of the triangle, the
// products of f_r with u[0..3+r]; r == nf the right-hand side, d * u[0..nf+2].
constexpr int row_length(int r, int nf) { return r < nf ? 4 + r : nf + 3; }

// Doubles per row of accumulators in memory: room for whole vectors of the
// widest path.
constexpr int WIDEST = 8;
constexpr int row_stride(int nf) { return (nf + 3 + WIDEST - 1) / WIDEST * WIDEST; }

// The normal equations being accumulated, and scratch space for doing so.
struct Sums {
    int nf = 0;
    bool exact = true;                    // the integer block is counted in integers
    int64_t count, sx, sy, sxx, sxy, syy; // the products of 1, gx and gy
    double ix[6];                         // the same as doubles, when not exact
    std::vector<double> rows;             // nf + 1 rows of row_stride(nf) lanes
    std::vector<double> basis;            // u of one pixel, row_stride(nf) doubles
    std::vector<int> kept;                // the kept pixels of a row

    Sums(int frames, bool exact_integers, int nx)
        : nf(frames), exact(exact_integers), rows(size_t(frames + 1) * size_t(row_stride(frames))),
          basis(size_t(row_stride(frames))), kept(size_t(nx > 0 ? nx : 1))
    {
        clear();
    }
    void clear()
    {
        count = sx = sy = sxx = sxy = syy = 0;
        std::fill(ix, ix + 6, 0.0);
        std::fill(rows.begin(), rows.end(), 0.0);
    }
    double *row(int r) { return rows.data() + size_t(r) * size_t(row_stride(nf)); }
    const double *row(int r) const { return rows.data() + size_t(r) * size_t(row_stride(nf)); }
    // The kept pixels (w[x] = 1) of a row nx wide, in order: the first n entries.
    // Eight pixels all kept, the common case, are listed with one vector store.
    const int *list_kept(const unsigned char *w, int nx, int &n)
    {
        typedef int32_t Eight __attribute__((vector_size(32)));
        constexpr uint64_t all_kept = 0x0101010101010101u;
        const Eight steps = {0, 1, 2, 3, 4, 5, 6, 7};
        int *to = kept.data();
        n = 0;
        int x = 0;
        for (; x + 8 <= nx; x += 8) {
            uint64_t eight;
            std::memcpy(&eight, w + x, 8);
            if (eight == all_kept) {
                const Eight xs = steps + x;
                std::memcpy(to + n, &xs, sizeof xs); // n <= x: within the nx entries
                n += 8;
                continue;
            }
            for (int i = x; i < x + 8; i++) {
                to[n] = i;
                n += w[i];
            }
        }
        for (; x < nx; x++) {
            to[n] = x;
            n += w[x];
        }
        return to;
    }
};

// What the passes work on: the pixels of one extension.
struct Frame {
    int nx, ny, nf;
    double *s;                  // data, then residual
    const float *const *fringe; // nf frames of nx * ny values
    unsigned char *w;           // 1: the pixel takes part in the next fit
    const unsigned char *state; // PixelState
    const double *gx;           // x - nx / 2 of each column
    double *term;               // scratch, nx doubles
};

// Everything below up to the entry points is inlined into them, and each entry
// point is compiled for its own instruction set.
#define LANES_INLINE [[gnu::always_inline]] inline

// ---- The accumulators of the normal equations, W to a vector register.
//
// g++ optimizes a function's body for its own instruction set before inlining it
// into another, and there it takes apart constructors, shuffles and comparisons
// of vectors wider than that set has.  So the vectors of a pixel are built with
// arithmetic and bitwise operations only, which survive whole (lanes are written
// one by one only in constants and once a row); and vectors are passed by
// reference only (by value they would need the wider set in the calling
// convention).

template <int W>
struct Lanes {
    typedef double D __attribute__((vector_size(8 * W)));
    typedef int64_t I __attribute__((vector_size(8 * W)));
};
template <int W>
using VD = typename Lanes<W>::D;
template <int W>
using VI = typename Lanes<W>::I;

template <int W>
LANES_INLINE void load(VD<W> &v, const double *p)
{
    std::memcpy(&v, p, sizeof v);
}

template <int W>
LANES_INLINE void store(double *p, const VD<W> &v)
{
    std::memcpy(p, &v, sizeof v);
}

// Lane `lane` of v = x, bit for bit, the other lanes as they were: a bitwise
// select between v and x * 1.0 (which is x) in every lane.
template <int W>
LANES_INLINE void put_lane(VD<W> &v, double x, int lane)
{
    VI<W> mask = {};
    mask[lane] = -1;
    const VD<W> ones = VD<W>{} + 1.0;
    v = VD<W>(((VI<W>)v & ~mask) | ((VI<W>)(x * ones) & mask));
}

// Adds the integer block of the kept pixels (w[x] = 1) of a row with gy = iy:
// counted in integers, exact in any order, and, when that is not exact in double,
// also summed as doubles pixel by pixel.
LANES_INLINE void add_integer_block(Sums &sums, const unsigned char *w, int nx, int iy)
{
    const int half = nx / 2;
    int64_t n = 0, sx = 0, sxx = 0;
    for (int x = 0; x < nx; x++) {
        const int64_t kept = w[x], ix = x - half;
        n += kept;
        sx += kept * ix;
        sxx += kept * ix * ix;
    }
    sums.count += n;
    sums.sx += sx;
    sums.sxx += sxx;
    sums.sy += iy * n;
    sums.sxy += iy * sx;
    sums.syy += int64_t(iy) * iy * n;
    if (sums.exact) return;
    double *b = sums.ix;
    const double gy = iy;
    for (int x = 0; x < nx; x++) {
        if (!w[x]) continue;
        const double gx = x - half;
        b[0] += 1.0;
        b[1] += gx;
        b[2] += gx * gx;
        b[3] += gy;
        b[4] += gy * gx;
        b[5] += gy * gy;
    }
}

// NF fringe frames: the accumulators live in registers, acc[r][c] holding the
// lanes c * W .. c * W + W - 1 of row r.  The lanes of u past its last element
// hold 0, and lanes past a row's length sum products no row needs; they are
// never read.
template <int W, int NF>
struct FixedSums {
    static constexpr int N = NF + 3;          // elements of u
    static constexpr int C = (N + W - 1) / W; // vectors of u
    static constexpr int chunks(int r) { return (row_length(r, NF) + W - 1) / W; }

    VD<W> acc[NF + 1][C];

    LANES_INLINE void load_from(const Sums &sums)
    {
        for (int r = 0; r <= NF; r++)
            for (int c = 0; c < chunks(r); c++) load<W>(acc[r][c], sums.row(r) + c * W);
    }
    LANES_INLINE void store_to(Sums &sums) const
    {
        for (int r = 0; r <= NF; r++)
            for (int c = 0; c < chunks(r); c++) store<W>(sums.row(r) + c * W, acc[r][c]);
    }

    // Adds the kept pixels of row y, with data d[x], in pixel order.
    LANES_INLINE void add_row(const Frame &f, int y, const double *d, Sums &sums)
    {
        const size_t row = size_t(y) * size_t(f.nx);
        const float *fr[NF];
        for (int k = 0; k < NF; k++) fr[k] = f.fringe[k] + row;
        const double gy = y - f.ny / 2;
        // The elements 1, gx and gy of u for gx = 0, in vector 0 (with 2 lanes, gy
        // in vector 1); adding gx * unit_x gives a pixel's (exactly: the other
        // lanes get +0 or -0, which leaves 1, gy and +0 as they are).
        VD<W> head = {}, head1 = {}, unit_x = {};
        head[0] = 1.0;
        if constexpr (W > 2)
            head[2] = gy;
        else
            head1[0] = gy;
        unit_x[1] = 1.0;
        int n;
        const int *kept = sums.list_kept(f.w + row, f.nx, n);
        for (int i = 0; i < n; i++) {
            const int x = kept[i];
            double m[NF + 1]; // what row r is multiplied by
            for (int k = 0; k < NF; k++) m[k] = fr[k][x];
            m[NF] = d[x];
            VD<W> u[C];
            for (int c = 0; c < C; c++) u[c] = c == 0 ? head + f.gx[x] * unit_x : c == 1 ? head1 : VD<W>{};
            for (int e = 3; e < N; e++) put_lane<W>(u[e / W], m[e - 3], e % W);
            for (int r = 0; r <= NF; r++)
                for (int c = 0; c < chunks(r); c++) acc[r][c] += m[r] * u[c];
        }
        add_integer_block(sums, f.w + row, f.nx, y - f.ny / 2);
    }
};

// Any number of fringe frames: the same products, with the accumulators in memory.
template <int W>
struct AnySums {
    LANES_INLINE void load_from(const Sums &) {}
    LANES_INLINE void store_to(Sums &) const {}

    LANES_INLINE void add_row(const Frame &f, int y, const double *d, Sums &sums)
    {
        const int nf = f.nf;
        const size_t row = size_t(y) * size_t(f.nx);
        double *u = sums.basis.data(); // lanes past nf + 3 stay 0
        u[0] = 1.0;
        u[2] = y - f.ny / 2;
        int n;
        const int *kept = sums.list_kept(f.w + row, f.nx, n);
        for (int i = 0; i < n; i++) {
            const int x = kept[i];
            u[1] = f.gx[x];
            for (int k = 0; k < nf; k++) u[3 + k] = f.fringe[k][row + size_t(x)];
            for (int r = 0; r <= nf; r++) {
                const double m = r < nf ? u[3 + r] : d[x];
                double *acc = sums.row(r);
                for (int c = 0; c * W < row_length(r, nf); c++) {
                    VD<W> a, b;
                    load<W>(a, acc + c * W);
                    load<W>(b, u + c * W);
                    a += m * b;
                    store<W>(acc + c * W, a);
                }
            }
        }
        add_integer_block(sums, f.w + row, f.nx, y - f.ny / 2);
    }
};

template <int W, int NF>
using RowSums = std::conditional_t<NF == 0, AnySums<W>, FixedSums<W, NF>>;

// The most fringe frames with a fixed-size path.  Up to about 8 frames their
// accumulators all stay in registers; past that some are spilled, which still
// costs less than the general path's accumulators in memory (16 frames: 2.8 s of
// CPU against 3.7 s on 4 x 1024 x 2048).  Sweeping a row once per group of
// accumulators that fits in registers cost more than the spills.
constexpr int FIXED_FRAMES = 16;

// Calls f.template operator()<NF>() with NF the number of fringe frames when
// there is a fixed-size path for it, else 0.
template <int NF = 1, typename F>
LANES_INLINE auto by_frames(int nf, F &&f)
{
    if constexpr (NF > FIXED_FRAMES) {
        return f.template operator()<0>();
    } else {
        if (nf == NF) return f.template operator()<NF>();
        return by_frames<NF + 1>(nf, std::forward<F>(f));
    }
}

// Adds the kept pixels of rows y0 .. y1 - 1, data f.s, to the sums.
template <int W>
LANES_INLINE void accumulate_rows(const Frame &f, Sums &sums, int y0, int y1)
{
    by_frames(f.nf, [&]<int NF>() {
        RowSums<W, NF> acc;
        acc.load_from(sums);
        for (int y = y0; y < y1; y++) acc.add_row(f, y, f.s + size_t(y) * size_t(f.nx), sums);
        acc.store_to(sums);
    });
}

// ---- The passes over the pixels, plain loops the compiler vectorizes.

// lfit3's chisq: the sum over the pixels, in order, of w (y - sum_j a[j] b[j])^2,
// the model sum of each pixel added first term first.  The terms are made a
// short stretch of a row at a time, so that the processor adds up one stretch
// (a chain of dependent additions) while it loads the next.
template <int NF>
LANES_INLINE double chisq_rows(const Frame &f, const double *a)
{
    constexpr int STRETCH = 128;
    const int nf = NF > 0 ? NF : f.nf;
    const double a1 = a[1], a2 = a[2];
    double *__restrict t = f.term;
    double total = 0.0;
    for (int y = 0; y < f.ny; y++) {
        const double base_y = a[3] * double(y - f.ny / 2);
        for (int x0 = 0; x0 < f.nx; x0 += STRETCH) {
            const int n = std::min(STRETCH, f.nx - x0);
            const size_t at = size_t(y) * size_t(f.nx) + size_t(x0);
            const double *__restrict sr = f.s + at;
            const unsigned char *__restrict wr = f.w + at;
            const double *__restrict gx = f.gx + x0;
            for (int x = 0; x < n; x++) {
                double sum = 0.0;
                sum += a1 * 1.0;
                sum += a2 * gx[x];
                sum += base_y;
                t[x] = sum;
            }
            for (int k = 0; k < nf; k++) {
                const float *__restrict fk = f.fringe[k] + at;
                const double ak = a[4 + k];
                for (int x = 0; x < n; x++) t[x] += ak * double(fk[x]);
            }
            for (int x = 0; x < n; x++) {
                const double r = sr[x] - t[x];
                t[x] = double(wr[x]) * (r * r);
            }
            for (int x = 0; x < n; x++) total += t[x];
        }
    }
    return total;
}

// Replaces the data of rows y0 .. y1 - 1 by the residual and keeps the usable
// pixels within `clip`; returns the pixels kept.
template <int NF>
LANES_INLINE int residual_rows(const Frame &f, const double *a, double clip, int y0, int y1)
{
    const int nf = NF > 0 ? NF : f.nf;
    const int nx = f.nx;
    const double a1 = a[1], a2 = a[2];
    int n = 0;
    for (int y = y0; y < y1; y++) {
        const size_t row = size_t(y) * size_t(nx);
        double *__restrict sr = f.s + row;
        unsigned char *__restrict wr = f.w + row;
        const unsigned char *__restrict st = f.state + row;
        const double base_y = a[3] * double(y - f.ny / 2);
        for (int x = 0; x < nx; x++) sr[x] = sr[x] - (a1 + a2 * f.gx[x] + base_y);
        for (int k = 0; k < nf; k++) {
            const float *__restrict fk = f.fringe[k] + row;
            const double ak = a[4 + k];
            for (int x = 0; x < nx; x++) sr[x] = sr[x] - ak * double(fk[x]);
        }
        int kept = 0;
        for (int x = 0; x < nx; x++) {
            const unsigned char keep = (st[x] == USABLE) & !(std::fabs(sr[x]) > clip);
            wr[x] = keep;
            kept += keep;
        }
        n += kept;
    }
    return n;
}

// ---- The entry points, one set per instruction set.

struct Kernels {
    void (*accumulate)(const Frame &, Sums &, int y0, int y1);
    double (*chisq)(const Frame &, const double *a);
    int (*residual_and_clip)(const Frame &, const double *a, double clip, int y0, int y1);
};

LANES_INLINE double chisq_any(const Frame &f, const double *a)
{
    return by_frames(f.nf, [&]<int NF>() { return chisq_rows<NF>(f, a); });
}

LANES_INLINE int residual_any(const Frame &f, const double *a, double clip, int y0, int y1)
{
    return by_frames(f.nf, [&]<int NF>() { return residual_rows<NF>(f, a, clip, y0, y1); });
}

// The entry points of one instruction set, W doubles a vector, as NAME_kernels:
// compiled with the attributes given (the target set, and flatten, which inlines
// everything above into them).
#define LEAN_KERNELS(NAME, W, ...)                                                                        \
    [[__VA_ARGS__]] void accumulate_##NAME(const Frame &f, Sums &s, int y0, int y1)                      \
    {                                                                                                    \
        accumulate_rows<W>(f, s, y0, y1);                                                                \
    }                                                                                                    \
    [[__VA_ARGS__]] double chisq_##NAME(const Frame &f, const double *a) { return chisq_any(f, a); }     \
    [[__VA_ARGS__]] int residual_##NAME(const Frame &f, const double *a, double clip, int y0, int y1)    \
    {                                                                                                    \
        return residual_any(f, a, clip, y0, y1);                                                         \
    }                                                                                                    \
    constexpr Kernels NAME##_kernels = {accumulate_##NAME, chisq_##NAME, residual_##NAME};

// The baseline: SSE2 on x86 (x86-64 has it; the 32-bit build asks for it), and
// whatever the compiler makes of 2-double vectors elsewhere.
LEAN_KERNELS(sse2, 2, gnu::flatten)
#if defined(__x86_64__) || defined(__i386__)
LEAN_KERNELS(avx2, 4, gnu::target("avx2"), gnu::flatten)
LEAN_KERNELS(avx512, 8, gnu::target("avx512f,avx512dq,avx512vl,avx512bw"), gnu::flatten)
#endif
#undef LEAN_KERNELS

// Memory for `count` elements of `size` bytes, released with free; null when
// the size does not fit or the allocation fails.  Large arrays are aligned to
// 2 MiB and offered to the system for transparent huge pages: a fitter writes
// some 20 bytes of fresh memory a pixel, and in 4 KiB pages each page costs a
// fault, which on a virtual machine can cost more than the fit's work on it.
void *pixel_memory(size_t count, size_t size)
{
    if (count == 0) count = 1;
    if (count > SIZE_MAX / size) return nullptr;
    const size_t bytes = count * size;
    constexpr size_t huge = size_t(2) << 20;
    if (bytes < huge || bytes > SIZE_MAX - huge) return std::malloc(bytes);
    const size_t whole = (bytes + huge - 1) / huge * huge;
    void *p = std::aligned_alloc(huge, whole);
#ifdef MADV_HUGEPAGE
    if (p) madvise(p, whole, MADV_HUGEPAGE); // advice only: a refusal changes nothing
#endif
    return p;
}

// The passes for path p (simd_path only gives paths this CPU runs).
const Kernels &kernels_for(SimdPath p)
{
#if defined(__x86_64__) || defined(__i386__)
    if (p == SimdPath::avx512) return avx512_kernels;
    if (p == SimdPath::avx2) return avx2_kernels;
#endif
    (void)p;
    return sse2_kernels;
}

class Lean final : public FitSteps {
  public:
    explicit Lean(const FitGeometry &geometry)
        : g(geometry), k(kernels_for(simd_path())), sums(g.nfringe, exact_integer_block(geometry), g.nx)
    {
        a = vector(1, g.npar);
        indx = ivector(1, g.npar);
        alpha = matrix(1, g.npar, 1, g.npar);
        beta1 = vector(1, g.npar);
        const size_t npix = size_t(g.npix > 0 ? g.npix : 1);
        const size_t frames = size_t(g.nfringe > 0 ? g.nfringe : 1);
        s = static_cast<double *>(pixel_memory(npix, sizeof(double)));
        fr = static_cast<float *>(npix > SIZE_MAX / frames ? nullptr
                                                            : pixel_memory(npix * frames, sizeof(float)));
        w = static_cast<unsigned char *>(pixel_memory(npix, 1));
        state = static_cast<unsigned char *>(pixel_memory(npix, 1));
        if (!s || !fr || !w || !state) tserror("allocation failure in transfer buffer");
        for (int f = 0; f < g.nfringe; f++) fringe_rows.push_back(fr + size_t(f) * npix);
        for (int x = 0; x < g.nx; x++) columns.push_back(x - g.nx / 2);
        term.assign(size_t(g.nx > 0 ? g.nx : 1), 0.0);
        as_read.assign(size_t(g.nx > 0 ? g.nx : 1), 0.0f);
        frame = {g.nx, g.ny, g.nfringe, s, fringe_rows.data(), w, state, columns.data(), term.data()};
    }
    ~Lean()
    {
        std::free(state);
        std::free(w);
        std::free(fr);
        std::free(buf);
        std::free(s);
        free_vector(beta1, 1, g.npar);
        free_matrix(alpha, 1, g.npar, 1, g.npar);
        free_ivector(indx, 1, g.npar);
        free_vector(a, 1, g.npar);
    }
    Lean(const Lean &) = delete;
    Lean &operator=(const Lean &) = delete;

    // Reads the extension row by row, each row once into every array and then
    // into the sums of the first fit; returns the usable pixels.
    int load(const ExtensionData &x) override
    {
        sums.clear();
        loaded = x;
        const auto *science = static_cast<const unsigned char *>(x.science);
        for (int y = 0; y < g.ny; y++) {
            const size_t row = size_t(y) * size_t(g.nx);
            std::memset(state + row, USABLE, size_t(g.nx));
            for (int f = 0; f < g.nfringe; f++) {
                const auto *from = static_cast<const unsigned char *>(x.fringes[size_t(f)]) + 4 * row;
                load_fringe(fringe_rows[size_t(f)] + row, from, state + row, g.nx);
            }
            const unsigned char *mask = x.mask ? x.mask + row : nullptr;
            load_science(s + row, as_read.data(), state + row, w + row, science + 4 * row, mask, g.nx);
            k.accumulate(frame, sums, y, y + 1);
        }
        return int(sums.count);
    }
    bool solve() override { return solve_n(); }
    const double *coefficients() const override { return a; }
    double chisq() override { return k.chisq(frame, a); }
    // Row by row, so that the accumulation of the next fit finds the row's
    // residuals still in the cache.
    int residual_and_clip(float limit, bool next) override
    {
        if (!next) return k.residual_and_clip(frame, a, double(limit), 0, g.ny);
        sums.clear();
        int n = 0;
        for (int y = 0; y < g.ny; y++) {
            n += k.residual_and_clip(frame, a, double(limit), y, y + 1);
            k.accumulate(frame, sums, y, y + 1);
        }
        return n;
    }
    const double *residual() const override { return s; }
    const unsigned char *pixel_states() const override { return state; }
    // The corrected image is asked for only by callers that keep it in memory;
    // the tool stores the residuals straight into the file instead.
    const float *finish() override
    {
        if (!buf) {
            buf = static_cast<float *>(pixel_memory(size_t(g.npix > 0 ? g.npix : 1), sizeof(float)));
            if (!buf) tserror("allocation failure in transfer buffer");
        }
        const auto *science = static_cast<const unsigned char *>(loaded.science);
        for (int y = 0; y < g.ny; y++) {
            const size_t row = size_t(y) * size_t(g.nx);
            read_floats(buf + row, science + 4 * row, g.nx);
        }
        residual_to_pixels(buf, s, state, g.npix);
        return buf;
    }

  private:
    // |gx| <= nx/2 and |gy| <= ny/2: whether every partial sum of the integer
    // block stays below 2^53.
    static bool exact_integer_block(const FitGeometry &g)
    {
        const double m = double(std::max(g.nx / 2, g.ny / 2) + 1);
        return double(g.npix) * m * m < 9007199254740992.0;
    }

    // a = the solution of the accumulated normal equations, as lfit3 solves them;
    // false when they are singular.
    bool solve_n()
    {
        double **al = alpha;
        if (sums.exact) {
            al[1][1] = double(sums.count);
            al[2][1] = double(sums.sx);
            al[2][2] = double(sums.sxx);
            al[3][1] = double(sums.sy);
            al[3][2] = double(sums.sxy);
            al[3][3] = double(sums.syy);
        } else {
            al[1][1] = sums.ix[0];
            al[2][1] = sums.ix[1];
            al[2][2] = sums.ix[2];
            al[3][1] = sums.ix[3];
            al[3][2] = sums.ix[4];
            al[3][3] = sums.ix[5];
        }
        for (int f = 0; f < g.nfringe; f++) {
            const double *tr = sums.row(f);
            for (int j = 0; j <= 3 + f; j++) al[4 + f][1 + j] = tr[j];
        }
        for (int j = 1; j <= g.npar; j++) beta1[j] = sums.row(g.nfringe)[j - 1];
        if (!lfit_solve(alpha, beta1, indx, g.npar)) return false;
        for (int j = 1; j <= g.npar; j++) a[j] = beta1[j];
        return true;
    }

    FitGeometry g;
    const Kernels &k;
    Sums sums;
    double *a, *beta1;
    int *indx;
    double **alpha;
    double *s;                // data, then residual, per pixel
    float *buf = nullptr;     // the corrected image, made when asked for
    ExtensionData loaded;     // the extension last loaded
    float *fr;                // nfringe rows of npix fringe values, host order
    unsigned char *w;         // 1: the pixel takes part in the next fit
    unsigned char *state;     // PixelState
    std::vector<float *> fringe_rows;
    std::vector<double> columns; // gx of each column
    std::vector<double> term;    // one row of chisq terms
    std::vector<float> as_read;  // one row of science pixels as read, host order
    Frame frame;
};

} // namespace

std::unique_ptr<FitSteps> make_lean_steps(const FitGeometry &g) { return std::make_unique<Lean>(g); }
