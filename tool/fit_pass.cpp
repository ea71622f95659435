// The pass, eight pixels of a row at a time in eight lanes of double
// accumulators, one vector of 8 doubles whatever the instruction set it is
// compiled for (SSE2, AVX2 or AVX-512: 4, 2 or 1 registers).  Each row is first
// decoded into doubles with loops the compiler vectorizes.  Pixels a pass leaves
// out take part as zeros selected in, never as products with a weight of 0, so
// no value that is not finite reaches a sum.
#include "fit_pass.h"

#include "big_endian.h"
#include "pixels.h"
#include "simd_path.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

PassSums::PassSums(int nfringe)
    : npar(nfringe + 3), gram(size_t(npar) * size_t(npar + 1) / 2), rhs(size_t(npar))
{
}

void PassSums::clear()
{
    usable = kept = 0;
    std::fill(gram.begin(), gram.end(), 0.0);
    std::fill(rhs.begin(), rhs.end(), 0.0);
    squares = 0.0;
}

void PassSums::add(const PassSums &later)
{
    usable += later.usable;
    kept += later.kept;
    for (size_t i = 0; i < gram.size(); i++) gram[i] += later.gram[i];
    for (size_t i = 0; i < rhs.size(); i++) rhs[i] += later.rhs[i];
    squares += later.squares;
}

namespace {

constexpr int L = 8; // lanes: pixel x of a row goes to lane x % L

#define PASS_INLINE [[gnu::always_inline]] inline

// The accumulators of a row, L lanes each: first those of every pass (the
// counts, the right-hand side and the squares), then those of the kept pixels'
// normal matrix (the first pass).  The sums with gy are the row's sums times gy.
struct Slots {
    int nf;
    constexpr int r() const { return 0; }                 // r
    constexpr int rx() const { return 1; }                // r gx
    constexpr int rr() const { return 2; }                // r^2
    constexpr int usable() const { return 3; }            // 1 per usable pixel
    constexpr int kept() const { return 4; }              // 1 per kept pixel
    constexpr int rf(int k) const { return 5 + k; }       // r f_k
    constexpr int wx() const { return 5 + nf; }           // gx
    constexpr int wxx() const { return 6 + nf; }          // gx^2
    constexpr int wf(int k) const { return 7 + nf + k; }  // f_k
    constexpr int wfx(int k) const { return 7 + 2 * nf + k; } // f_k gx
    constexpr int wff(int k, int m) const { return 7 + 3 * nf + k * (k + 1) / 2 + m; } // f_k f_m, m <= k
    constexpr int every_pass() const { return 5 + nf; }
    constexpr int count() const { return 7 + 3 * nf + nf * (nf + 1) / 2; }
};

// Where a pass reads one chunk of a row: the row's values as doubles, the
// science values first, then each frame's, `stride` apart, and the mask.
struct ChunkAt {
    const double *row;
    size_t stride;
    const uint64_t *open; // all ones where the pixel is inside the row and unmasked
};

// The pixels of a pass, the model and limit, and scratch space for a row.
struct PassJob {
    const FitGeometry &g;
    const ExtensionData &x;
    const double *a;
    double limit;
    GramOf gram;
    double *acc;                  // Slots::count() * L
    double *f;                    // nf * L: one chunk's fringe values
    double *u;                    // nf + 3: one pixel's basis
    double *row;                  // (1 + nf) * stride: a row's values
    size_t stride;                // nx rounded up to whole chunks
    uint32_t *words;              // nx: a row's values as host words
    uint64_t *open;               // stride: all ones inside the row where not masked, else 0
    double *left;                 // (nf + 3) (nf + 4) / 2: a row's clipped pixels' u u^T
};

// The scratch of a row: the accumulators, a chunk's fringe values and the
// model's coefficients; in arrays of the fixed-size pass's own (which nothing
// else can alias), or the job's for the general one.
struct RowScratch {
    double *acc, *f, *a;
    double *left; // the triangle of the row's clipped pixels' u u^T
};

// Eight lanes as one vector value: built and combined with arithmetic and
// bitwise operations only, which g++ keeps whole when it compiles a body for an
// instruction set narrower than the vector and inlines it into a wider one (it
// takes comparisons, shuffles and constructors apart); selects are masks.
typedef double V __attribute__((vector_size(8 * L)));
typedef uint64_t M __attribute__((vector_size(8 * L)));

// (Vectors go by reference: by value the baseline's calling convention would
// differ from the wider sets'.)
PASS_INLINE void load_v(V &v, const double *p) { std::memcpy(&v, p, sizeof v); }
PASS_INLINE void add_to(double *p, const V &v)
{
    V a;
    std::memcpy(&a, p, sizeof a);
    a += v;
    std::memcpy(p, &a, sizeof a);
}
// v where m, else +0.
#define SELECT(v, m) ((V)((M)(v) & (m)))

// ok &= all ones in the lanes of v that are finite, else 0.
PASS_INLINE void and_finite(M &ok, const V &v)
{
    const M exponent = M{} + 0x7ff0000000000000u;
    const M t = ((M)v & exponent) ^ exponent; // 0 when not finite
    ok &= M{} - ((t | (M{} - t)) >> 63);
}

// Adds lanes x0 .. x0 + L - 1 of a row (those not open take no part) to the
// row's accumulators; the clipped pixels' u u^T go to rs.left in pixel order.
// CLEAN: every value of the row is finite, so only the open lanes need looking at.
template <int NF, bool CLEAN>
PASS_INLINE void add_chunk(const PassJob &j, const RowScratch &rs, const ChunkAt &in, int x0, int gy)
{
    const int nf = NF ? NF : j.g.nfringe;
    const Slots sl{nf};
    const double *__restrict a = rs.a;
    double *__restrict acc = rs.acc;
    double *__restrict f = rs.f;
    V s;
    load_v(s, in.row);
    M ok;
    std::memcpy(&ok, in.open, sizeof ok);
    if (!CLEAN) and_finite(ok, s);
    for (int k = 0; k < nf; k++) {
        V fk;
        load_v(fk, in.row + in.stride * size_t(1 + k));
        std::memcpy(f + k * L, &fk, sizeof fk);
        if (!CLEAN) and_finite(ok, fk);
    }
    const V steps = {0, 1, 2, 3, 4, 5, 6, 7};
    const V gx = (V{} + double(x0 - j.g.nx / 2)) + steps;
    if (!CLEAN) s = SELECT(s, ok);
    // The model, added in the order fit_pass.h gives.
    V m = V{} + a[1];
    m += a[2] * gx;
    m += a[3] * double(gy);
    for (int k = 0; k < nf; k++) {
        V fk;
        load_v(fk, f + k * L);
        if (!CLEAN) {
            fk = SELECT(fk, ok);
            std::memcpy(f + k * L, &fk, sizeof fk);
        }
        m += a[4 + k] * fk;
    }
    const V r = s - m;
    const M magnitude = M{} + 0x7fffffffffffffffu;
    const V room = (V{} + j.limit) - (V)((M)r & magnitude); // < 0: clipped
    const M keep = ok & ~(M{} - ((M)room >> 63));
    const V one = V{} + 1.0;
    const V rk = SELECT(r, keep);
    add_to(acc + sl.r() * L, rk);
    add_to(acc + sl.rx() * L, rk * gx);
    add_to(acc + sl.rr() * L, rk * r);
    add_to(acc + sl.usable() * L, SELECT(one, ok));
    add_to(acc + sl.kept() * L, SELECT(one, keep));
    V fk, fn;
    for (int k = 0; k < nf; k++) {
        load_v(fk, f + k * L);
        add_to(acc + sl.rf(k) * L, rk * fk);
    }
    if (j.gram == GramOf::kept) {
        const V wx = SELECT(gx, keep);
        add_to(acc + sl.wx() * L, wx);
        add_to(acc + sl.wxx() * L, wx * gx);
        for (int k = 0; k < nf; k++) {
            load_v(fk, f + k * L);
            const V wf = SELECT(fk, keep);
            add_to(acc + sl.wf(k) * L, wf);
            add_to(acc + sl.wfx(k) * L, wf * gx);
            for (int n = 0; n <= k; n++) {
                load_v(fn, f + n * L);
                add_to(acc + sl.wff(k, n) * L, wf * fn);
            }
        }
        return;
    }
    const M out = ok ^ keep;
    uint64_t left[L];
    std::memcpy(left, &out, sizeof left);
    uint64_t any = 0;
    for (int l = 0; l < L; l++) any |= left[l];
    if (any == 0) return;
    // Few pixels: their u u^T one at a time, in pixel order.
    double *__restrict t = rs.left;
    double *__restrict u = j.u;
    double lanes[L];
    std::memcpy(lanes, &gx, sizeof lanes);
    for (int l = 0; l < L; l++) {
        if (!left[l]) continue;
        u[0] = 1.0;
        u[1] = lanes[l];
        u[2] = double(gy);
        for (int k = 0; k < nf; k++) u[3 + k] = f[k * L + l];
        for (int i = 0; i < nf + 3; i++)
            for (int n = 0; n <= i; n++) t[gram_at(i, n)] += u[i] * u[n];
    }
}

// The sum of a slot's lanes, added pairwise in a fixed order.
PASS_INLINE double lanes_sum(const double *v)
{
    return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
}

// Adds a row's accumulators to sums, the sums with gy as the row's times gy.
PASS_INLINE void add_row_sums(const PassJob &j, const double *acc, int nf, int gy, PassSums &sums)
{
    const Slots sl{nf};
    auto sum = [&](int slot) { return lanes_sum(acc + size_t(slot) * L); };
    const double dy = double(gy);
    const double rs = sum(sl.r());
    sums.usable += int64_t(sum(sl.usable()));
    sums.kept += int64_t(sum(sl.kept()));
    sums.rhs[0] += rs;
    sums.rhs[1] += sum(sl.rx());
    sums.rhs[2] += dy * rs;
    for (int k = 0; k < nf; k++) sums.rhs[size_t(3 + k)] += sum(sl.rf(k));
    sums.squares += sum(sl.rr());
    if (j.gram != GramOf::kept) return;
    double *t = sums.gram.data();
    const double w = sum(sl.kept()), wx = sum(sl.wx());
    t[gram_at(0, 0)] += w;
    t[gram_at(1, 0)] += wx;
    t[gram_at(1, 1)] += sum(sl.wxx());
    t[gram_at(2, 0)] += dy * w;
    t[gram_at(2, 1)] += dy * wx;
    t[gram_at(2, 2)] += dy * dy * w;
    for (int k = 0; k < nf; k++) {
        const double wf = sum(sl.wf(k));
        t[gram_at(3 + k, 0)] += wf;
        t[gram_at(3 + k, 1)] += sum(sl.wfx(k));
        t[gram_at(3 + k, 2)] += dy * wf;
        for (int m = 0; m <= k; m++) t[gram_at(3 + k, 3 + m)] += sum(sl.wff(k, m));
    }
}

// n big-endian floats at `from` as doubles at `to`, through host words at
// `words`, in loops the compiler vectorizes; the bytes a page ahead are asked
// for meanwhile.  True when every value is finite.
PASS_INLINE bool decode_row(double *__restrict to, const unsigned char *__restrict from, int n,
                            uint32_t *__restrict words)
{
    for (int p = 0; p < n; p += 16) { // a cache line at a time
        __builtin_prefetch(from + 4 * size_t(p) + 4096);
        swap_words32_shuffled(words + p, from + 4 * size_t(p), std::min(16, n - p));
    }
    uint32_t not_finite = 0;
    for (int p = 0; p < n; p++) {
        to[p] = double(std::bit_cast<float>(words[p]));
        not_finite |= !finite_bits(words[p]);
    }
    return not_finite == 0;
}

// Adds row y to sums.
template <int NF>
PASS_INLINE void add_row(const PassJob &j, int y, PassSums &sums)
{
    const int nf = NF ? NF : j.g.nfringe, nx = j.g.nx;
    const Slots sl{nf};
    const int slots = j.gram == GramOf::kept ? sl.count() : sl.every_pass();
    constexpr int FIXED_SLOTS = NF ? Slots{NF}.count() : 1;
    constexpr int TRIANGLE = (NF + 3) * (NF + 4) / 2;
    double own_acc[FIXED_SLOTS * L], own_f[(NF ? NF : 1) * L], own_a[NF + 4], own_left[TRIANGLE];
    const RowScratch rs = NF ? RowScratch{own_acc, own_f, own_a, own_left}
                             : RowScratch{j.acc, j.f, const_cast<double *>(j.a), j.left};
    const size_t triangle = sums.gram.size();
    if (NF) std::copy(j.a, j.a + NF + 4, own_a);
    std::fill(rs.acc, rs.acc + size_t(slots) * L, 0.0);
    if (j.gram == GramOf::clipped) std::fill(rs.left, rs.left + triangle, 0.0);
    const size_t row = size_t(y) * size_t(nx);
    bool clean = decode_row(j.row, static_cast<const unsigned char *>(j.x.science) + 4 * row, nx, j.words);
    for (int k = 0; k < nf; k++)
        clean &= decode_row(j.row + j.stride * size_t(1 + k),
                            static_cast<const unsigned char *>(j.x.fringes[size_t(k)]) + 4 * row, nx, j.words);
    if (j.x.mask) {
        const unsigned char *mask = j.x.mask + row;
        for (int x = 0; x < nx; x++) j.open[x] = mask[x] ? 0 : ~uint64_t(0);
    }
    const int gy = y - j.g.ny / 2;
    // The row's buffers run on to a whole chunk: the last one is read whole, its
    // lanes past the row closed.
    // (The chunks are the same either way: a row that is all finite is told only
    // so that its chunks skip the tests of finiteness.)
    for (int x0 = 0; x0 < nx; x0 += L) {
        const ChunkAt at{j.row + x0, j.stride, j.open + x0};
        if (clean)
            add_chunk<NF, true>(j, rs, at, x0, gy);
        else
            add_chunk<NF, false>(j, rs, at, x0, gy);
    }
    add_row_sums(j, rs.acc, nf, gy, sums);
    if (j.gram == GramOf::clipped)
        for (size_t i = 0; i < triangle; i++) sums.gram[i] += rs.left[i];
}

// The corrected pixels [first, first + count), a stretch of a row at a time: the
// model of each pixel of the stretch built up term by term, in the same order
// as the pass, then the residual stored.
PASS_INLINE void store_rows(const FitGeometry &g, const ExtensionData &x, const double *a, void *to, int first,
                            int count)
{
    constexpr int STRETCH = 256;
    double m[STRETCH], v[STRETCH];
    uint32_t words[STRETCH], fresh[STRETCH], open[STRETCH];
    auto *out = static_cast<unsigned char *>(to);
    for (int64_t p = first; p < int64_t(first) + count;) {
        const int y = int(p / g.nx), x0 = int(p % g.nx);
        const int n = int(std::min<int64_t>({int64_t(STRETCH), int64_t(g.nx - x0), int64_t(first) + count - p}));
        const double a3gy = a[3] * double(y - g.ny / 2);
        for (int i = 0; i < n; i++) {
            double mi = a[1];
            mi += a[2] * double(x0 + i - g.nx / 2);
            mi += a3gy;
            m[i] = mi;
        }
        for (int k = 0; k < g.nfringe; k++) {
            decode_row(v, static_cast<const unsigned char *>(x.fringes[size_t(k)]) + 4 * size_t(p), n, words);
            const double ak = a[4 + k];
            for (int i = 0; i < n; i++) m[i] += ak * (std::fabs(v[i]) <= DBL_MAX ? v[i] : 0.0);
        }
        decode_row(v, static_cast<const unsigned char *>(x.science) + 4 * size_t(p), n, words);
        // A finite pixel stays finite: a residual beyond the float range is held
        // at its limit.  One that is not a number is not written.  (Loops of one
        // element width each, which the compiler vectorizes.)
        double held[STRETCH];
        uint64_t keep[STRETCH];
        for (int i = 0; i < n; i++) {
            const double r = v[i] - m[i];
            held[i] = std::min(std::max(r, -double(FLT_MAX)), double(FLT_MAX));
            keep[i] = std::fabs(v[i]) <= DBL_MAX && r == r ? ~uint64_t(0) : 0;
        }
        for (int i = 0; i < n; i++) fresh[i] = std::bit_cast<uint32_t>(float(held[i]));
        for (int i = 0; i < n; i++) open[i] = uint32_t(keep[i]);
        // Where not written, the science value as read (`words` holds it from the
        // decode above); then to file order.
        for (int i = 0; i < n; i++) fresh[i] = (fresh[i] & open[i]) | (words[i] & ~open[i]);
        swap_words32_shuffled(fresh, fresh, n);
        std::memcpy(out + 4 * size_t(p - first), fresh, 4 * size_t(n));
        p += n;
    }
}

// The most fringe frames with a fixed-size pass, compiled once per number; more
// take the general one.
constexpr int FIXED_FRAMES = 16;

// Calls f.template operator()<NF>() with NF the number of fringe frames when
// there is a fixed-size pass for it, else 0.
template <int NF = 1, typename F>
PASS_INLINE auto by_frames(int nf, F &&f)
{
    if constexpr (NF > FIXED_FRAMES) {
        return f.template operator()<0>();
    } else {
        if (nf == NF) return f.template operator()<NF>();
        return by_frames<NF + 1>(nf, std::forward<F>(f));
    }
}

PASS_INLINE void pass_rows(const PassJob &j, int y0, int y1, PassSums &sums)
{
    by_frames(j.g.nfringe, [&]<int NF>() {
        for (int y = y0; y < y1; y++) add_row<NF>(j, y, sums);
    });
}

struct Kernels {
    void (*pass)(const PassJob &, int y0, int y1, PassSums &);
    void (*store)(const FitGeometry &, const ExtensionData &, const double *, void *, int, int);
};

// The entry points of one instruction set, as NAME_kernels: compiled with the
// attributes given (the target set, and flatten, which inlines everything above
// into them).
#define PASS_KERNELS(NAME, ...)                                                                           \
    [[__VA_ARGS__]] void pass_##NAME(const PassJob &j, int y0, int y1, PassSums &s)                      \
    {                                                                                                    \
        pass_rows(j, y0, y1, s);                                                                         \
    }                                                                                                    \
    [[__VA_ARGS__]] void store_##NAME(const FitGeometry &g, const ExtensionData &x, const double *a,     \
                                      void *to, int first, int count)                                   \
    {                                                                                                    \
        store_rows(g, x, a, to, first, count);                                                           \
    }                                                                                                    \
    constexpr Kernels NAME##_kernels = {pass_##NAME, store_##NAME};

// The baseline: SSE2 on x86 (x86-64 has it; the 32-bit build asks for it), and
// whatever the compiler makes of the loops elsewhere.
PASS_KERNELS(sse2, gnu::flatten)
#if defined(__x86_64__) || defined(__i386__)
PASS_KERNELS(avx2, gnu::target("avx2"), gnu::flatten)
PASS_KERNELS(avx512, gnu::target("avx512f,avx512dq,avx512vl,avx512bw"), gnu::flatten)
#endif
#undef PASS_KERNELS
#undef SELECT

// The kernels of the path simd_path() gives now (it only gives paths this CPU runs).
const Kernels &kernels()
{
#if defined(__x86_64__) || defined(__i386__)
    const SimdPath p = simd_path();
    if (p == SimdPath::avx512) return avx512_kernels;
    if (p == SimdPath::avx2) return avx2_kernels;
#endif
    return sse2_kernels;
}

} // namespace

void fit_pass(const FitGeometry &g, const ExtensionData &x, const double *a, double limit, GramOf gram, int y0,
              int y1, PassSums &sums)
{
    const int nf = g.nfringe;
    std::vector<double> acc(size_t(Slots{nf}.count()) * L), f(size_t(nf) * L + 1), u(size_t(nf) + 3);
    const size_t stride = (size_t(g.nx) + L - 1) / L * L;
    std::vector<double> row(stride * size_t(1 + nf)); // past nx: zeros
    std::vector<uint32_t> words(size_t(g.nx));
    std::vector<uint64_t> open(stride, 0);
    std::fill(open.begin(), open.begin() + g.nx, ~uint64_t(0));
    std::vector<double> left(sums.gram.size());
    const PassJob j{g,           x,      a,          limit,        gram,       acc.data(), f.data(),
                    u.data(),    row.data(), stride, words.data(), open.data(), left.data()};
    kernels().pass(j, y0, y1, sums);
}

void store_corrected(const FitGeometry &g, const ExtensionData &x, const double *a, void *to, int first,
                     int count)
{
    kernels().store(g, x, a, to, first, count);
}

void pixel_residuals(const FitGeometry &g, const ExtensionData &x, const double *a, double *r,
                     unsigned char *state)
{
    for (int p = 0; p < g.npix; p++) {
        const int px = p % g.nx, py = p / g.nx;
        unsigned char st = USABLE;
        double m = a[1];
        m += a[2] * double(px - g.nx / 2);
        m += a[3] * double(py - g.ny / 2);
        for (int k = 0; k < g.nfringe; k++) {
            const uint32_t w = be32_at(x.fringes[size_t(k)], p);
            const bool finite = finite_bits(w);
            if (!finite) st = FRINGE_NOT_FINITE;
            m += a[4 + k] * (finite ? double(std::bit_cast<float>(w)) : 0.0);
        }
        const uint32_t s = be32_at(x.science, p);
        const bool finite = finite_bits(s);
        if (!finite) st = SCIENCE_NOT_FINITE;
        if (st == USABLE && x.mask && x.mask[p]) st = MASKED;
        r[p] = finite ? double(std::bit_cast<float>(s)) - m : 0.0;
        state[p] = st;
    }
}
