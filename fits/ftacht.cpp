// Pixel conversion between the twelve element types, applying FITS scaling
// (physical = stored * BSCALE + BZERO) or removing it.
#include "fits.h"
#include "pixel_codes.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

namespace {

// Element types by dispatch index: c s i l r d t u v w k x.  l and w are 32 bits wide.
using Elements = std::tuple<int8_t, int16_t, int32_t, int32_t, float, double,
                            uint8_t, uint16_t, uint32_t, uint32_t, int64_t, uint64_t>;
template <int X>
using Element = std::tuple_element_t<X, Elements>;

// A floating value into an integer type without undefined behaviour: truncated
// toward zero inside the type's range, saturated at its limits outside, NaN to 0.
template <typename D, typename C>
inline D to_integer(C x)
{
    if constexpr (std::is_same_v<C, float> && sizeof(D) >= 4) {
        return to_integer<D>(double(x)); // float cannot hold the 32-bit limits
    } else if constexpr (sizeof(D) == 8) {
        // The limits 2^63 and 2^64 are powers of two, exact as doubles; every
        // double below them and above the lower limit converts exactly.
        constexpr double upper = std::is_signed_v<D> ? 0x1p63 : 0x1p64;
        if (!(x == x)) return 0;
        if (x >= upper) return std::numeric_limits<D>::max();
        if (x <= double(std::numeric_limits<D>::min())) return std::numeric_limits<D>::min();
        return D(x);
    } else {
        constexpr C lo = C(std::numeric_limits<D>::min());
        constexpr C hi = C(std::numeric_limits<D>::max());
        x = x == x ? x : C(0);
        x = x > lo ? x : lo;
        x = x < hi ? x : hi;
        if constexpr (std::is_same_v<D, uint32_t>) {
            // There is no vector double-to-unsigned conversion: take the upper half
            // down by 2^31 through the signed one.
            const bool upper = x >= 2147483648.0;
            const C t = upper ? x - 2147483648.0 : x;
            return uint32_t(int32_t(t)) + (upper ? 0x80000000u : 0u);
        } else {
            return D(int32_t(x));
        }
    }
}

// Element conversions: plain, scaling applied, scaling removed.  Each yields a
// Value that becomes the destination element: directly, or through to_integer
// when a floating Value goes into an integer type.
template <typename D, typename S>
struct Plain {
    static constexpr bool float_to_int = std::is_integral_v<D> && std::is_floating_point_v<S>;
    // Floats stay floats except into unsigned 32-bit integers.
    using Value = std::conditional_t<!float_to_int, S,
                                     std::conditional_t<std::is_same_v<D, uint32_t>, double, S>>;
    Value operator()(S v) const { return Value(v); }
};

template <typename D, typename S>
struct Apply {
    using Value = double;
    double bscale, bzero;
    double operator()(S v) const { return double(v) * bscale + bzero; }
#ifdef __SSE2__
    __m128d vec(__m128d x) const { return _mm_add_pd(_mm_mul_pd(x, _mm_set1_pd(bscale)), _mm_set1_pd(bzero)); }
#endif
};

template <typename D, typename S>
struct Remove {
    using Value = double;
    double bscale, bzero;
    double operator()(S v) const { return (double(v) - bzero) / bscale; }
#ifdef __SSE2__
    __m128d vec(__m128d x) const { return _mm_div_pd(_mm_sub_pd(x, _mm_set1_pd(bzero)), _mm_set1_pd(bscale)); }
#endif
};

// Removing a scale that is a power of two: multiplying by its reciprocal, which is
// then exact, rounds the same exact quotient once and so gives the same result as
// the division, at a fraction of its cost.
template <typename D, typename S>
struct RemoveBinary {
    using Value = double;
    double reciprocal, bzero;
    double operator()(S v) const { return (double(v) - bzero) * reciprocal; }
#ifdef __SSE2__
    __m128d vec(__m128d x) const { return _mm_mul_pd(_mm_sub_pd(x, _mm_set1_pd(bzero)), _mm_set1_pd(reciprocal)); }
#endif
};

// A scale of exactly 1: v * 1.0 is v for every double, NaN payloads included (the
// addition or subtraction that follows quiets a signalling NaN either way), so
// the multiplication is left out.
template <typename D, typename S>
struct ApplyOffset {
    using Value = double;
    double bzero;
    double operator()(S v) const { return double(v) + bzero; }
#ifdef __SSE2__
    __m128d vec(__m128d x) const { return _mm_add_pd(x, _mm_set1_pd(bzero)); }
#endif
};

template <typename D, typename S>
struct RemoveOffset {
    using Value = double;
    double bzero;
    double operator()(S v) const { return double(v) - bzero; }
#ifdef __SSE2__
    __m128d vec(__m128d x) const { return _mm_sub_pd(x, _mm_set1_pd(bzero)); }
#endif
};

bool exact_reciprocal(double bscale, double *reciprocal)
{
    int exponent;
    if (!std::isfinite(bscale) || std::fabs(std::frexp(bscale, &exponent)) != 0.5) return false;
    *reciprocal = 1.0 / bscale;
    return std::isnormal(*reciprocal);
}

// The whole number nearest x, ties to even: below 2^52 in magnitude, adding and
// subtracting 2^52 with x's sign leaves exactly that number; from 2^52 on every
// double is whole already.  NaN stays NaN.
inline double nearest(double x)
{
    const double big = std::copysign(0x1p52, x);
    return std::fabs(x) < 0x1p52 ? (x + big) - big : x;
}

#ifdef __SSE2__
inline __m128d nearest(__m128d x)
{
    const __m128d sign = _mm_set1_pd(-0.0), limit = _mm_set1_pd(0x1p52);
    const __m128d big = _mm_or_pd(limit, _mm_and_pd(x, sign));
    const __m128d small = _mm_cmplt_pd(_mm_andnot_pd(sign, x), limit);
    const __m128d r = _mm_sub_pd(_mm_add_pd(x, big), big);
    return _mm_or_pd(_mm_and_pd(small, r), _mm_andnot_pd(small, x));
}
#endif

// A scale removed into an integer type: rounded to nearest before the saturation,
// so that a value read with the scale applied is stored back as it was.
template <typename F>
struct Rounded {
    using Value = double;
    F f;
    template <typename S>
    double operator()(S v) const { return nearest(f(v)); }
#ifdef __SSE2__
    __m128d vec(__m128d x) const { return nearest(f.vec(x)); }
#endif
};

// An integer of up to 65 bits, sign and magnitude: (carry ? 2^64 : 0) + low.  The
// sum of a 64-bit element and a whole BZERO is held exactly in one.
struct Wide {
    bool negative, carry;
    uint64_t low;
};

template <typename T>
Wide wide_of(T v)
{
    if constexpr (std::is_signed_v<T>)
        if (v < 0) return {true, false, uint64_t(0) - uint64_t(v)}; // INT64_MIN included
    return {false, false, uint64_t(v)};
}

// a + b for a and b without carry; a zero sum is positive.
Wide sum(Wide a, Wide b)
{
    if (a.negative == b.negative) {
        const uint64_t low = a.low + b.low;
        return {a.negative, low < a.low, low};
    }
    if (a.low >= b.low) return {a.negative && a.low != b.low, false, a.low - b.low};
    return {b.negative, false, b.low - a.low};
}

// A wide integer saturated into an integer type, or rounded once into a floating
// one (past 2^64 the lowest bit only breaks ties, so it stays as a sticky bit of
// the halved magnitude).
template <typename D>
D narrow(Wide w)
{
    if constexpr (std::is_floating_point_v<D>) {
        const D m = w.carry ? D(2) * D(uint64_t(1) << 63 | w.low >> 1 | (w.low & 1)) : D(w.low);
        return w.negative ? -m : m;
    } else {
        constexpr uint64_t most = uint64_t(std::numeric_limits<D>::max());
        constexpr uint64_t least = uint64_t(0) - uint64_t(std::numeric_limits<D>::min()); // |min|
        if (w.negative) return w.carry || w.low > least ? std::numeric_limits<D>::min() : D(uint64_t(0) - w.low);
        return w.carry || w.low > most ? std::numeric_limits<D>::max() : D(w.low);
    }
}

// Pairs of an integer source and a 64-bit integer on either side: a double holds
// neither all their values nor their sums with BZERO, so a scale of 1 and a whole
// BZERO are applied or removed exactly.
template <typename D, typename S>
constexpr bool kExactPair = std::is_integral_v<S> && (sizeof(S) == 8 || (std::is_integral_v<D> && sizeof(D) == 8));

bool whole_offset(double bscale, double bzero)
{
    return bscale == 1.0 && std::fabs(bzero) < 0x1p64 && bzero == std::trunc(bzero);
}

template <typename D, typename S>
struct ExactOffset {
    using Value = D;
    Wide offset;
    D operator()(S v) const { return narrow<D>(sum(wide_of(v), offset)); }
};

// Elements per block: the inner loops have a fixed count, which the vectoriser
// turns wholly into vector code at every optimisation level.
constexpr int64_t kBlock = 64;

#ifdef __SSE2__
// Four clamped, NaN-free values as four int32 lanes.
inline __m128i lanes_of(const double *p, __m128d lo, __m128d hi)
{
    auto one = [&](const double *at) {
        __m128d x = _mm_loadu_pd(at);
        x = _mm_and_pd(x, _mm_cmpord_pd(x, x)); // NaN to 0
        return _mm_min_pd(_mm_max_pd(x, lo), hi);
    };
    return _mm_unpacklo_epi64(_mm_cvttpd_epi32(one(p)), _mm_cvttpd_epi32(one(p + 2)));
}
#endif

// Integer types whose saturation the packs of narrow_lanes give exactly.
template <typename D>
constexpr bool kPackable = std::is_same_v<D, int8_t> || std::is_same_v<D, uint8_t> ||
                           std::is_same_v<D, int16_t> || std::is_same_v<D, int32_t>;

#ifdef __SSE2__
// Eight int32 lanes narrowed to D with saturation and stored.
template <typename D>
inline void narrow_lanes(D *dst, __m128i q0, __m128i q1)
{
    __m128i *out = reinterpret_cast<__m128i *>(dst);
    if constexpr (sizeof(D) == 4) {
        _mm_storeu_si128(out, q0);
        _mm_storeu_si128(out + 1, q1);
    } else if constexpr (sizeof(D) == 2) {
        _mm_storeu_si128(out, _mm_packs_epi32(q0, q1));
    } else {
        const __m128i w = _mm_packs_epi32(q0, q1);
        _mm_storel_epi64(out, std::is_same_v<D, int8_t> ? _mm_packs_epi16(w, w) : _mm_packus_epi16(w, w));
    }
}

#endif

// A block of floating values into integers by to_integer.  Compilers do not
// vectorise the clamps well with plain SSE2, so x86-64 gets them written out.
template <typename D, typename C>
inline void saturate_block(D *__restrict dst, const C *__restrict t)
{
#ifdef __SSE2__
    if constexpr (std::is_same_v<C, double> && kPackable<D>) {
        // Doubles into int8, uint8, int16, int32: the conversion truncates every
        // value inside int32 exactly, and the saturating packs narrow it to D.
        // Values it cannot convert (NaN, |x| >= 2^31) come out as INT32_MIN; a
        // block holding that lane is done again by to_integer, element by element.
        const __m128i indefinite = _mm_set1_epi32(INT32_MIN);
        __m128i seen = _mm_setzero_si128();
        for (int64_t j = 0; j < kBlock; j += 8) {
            __m128i q[2];
            for (int h = 0; h < 2; h++) {
                const C *p = t + j + 4 * h;
                q[h] = _mm_unpacklo_epi64(_mm_cvttpd_epi32(_mm_loadu_pd(p)), _mm_cvttpd_epi32(_mm_loadu_pd(p + 2)));
                seen = _mm_or_si128(seen, _mm_cmpeq_epi32(q[h], indefinite));
            }
            narrow_lanes(dst + j, q[0], q[1]);
        }
        if (_mm_movemask_epi8(seen) != 0)
            for (int64_t j = 0; j < kBlock; j++) dst[j] = to_integer<D>(t[j]);
        return;
    }
    if constexpr (sizeof(D) <= 4 && (std::is_same_v<C, double> || !std::is_same_v<D, uint32_t>)) {
        constexpr bool wide = std::is_same_v<D, uint32_t>;
        for (int64_t j = 0; j < kBlock; j += 8) {
            __m128i q[2];
            for (int h = 0; h < 2; h++) {
                const C *p = t + j + 4 * h;
                if constexpr (std::is_same_v<C, float>) {
                    __m128 x = _mm_loadu_ps(p);
                    x = _mm_and_ps(x, _mm_cmpord_ps(x, x));
                    if constexpr (std::is_same_v<D, int32_t>) {
                        // Out of range the conversion gives INT32_MIN; at 2^31 and
                        // above, flipping every bit makes that INT32_MAX.
                        const __m128 big = _mm_cmpge_ps(x, _mm_set1_ps(2147483648.0f));
                        q[h] = _mm_xor_si128(_mm_cvttps_epi32(x), _mm_castps_si128(big));
                    } else {
                        x = _mm_min_ps(_mm_max_ps(x, _mm_set1_ps(float(std::numeric_limits<D>::min()))),
                                       _mm_set1_ps(float(std::numeric_limits<D>::max())));
                        q[h] = _mm_cvttps_epi32(x);
                    }
                } else if constexpr (wide) {
                    // The upper half goes down by 2^31 through the signed conversion.
                    const __m128d lo = _mm_setzero_pd(), hi = _mm_set1_pd(4294967295.0);
                    const __m128d half = _mm_set1_pd(2147483648.0);
                    __m128i r[2];
                    for (int e = 0; e < 2; e++) {
                        __m128d x = _mm_loadu_pd(p + 2 * e);
                        x = _mm_and_pd(x, _mm_cmpord_pd(x, x));
                        x = _mm_min_pd(_mm_max_pd(x, lo), hi);
                        const __m128d upper = _mm_cmpge_pd(x, half);
                        const __m128i v = _mm_cvttpd_epi32(_mm_sub_pd(x, _mm_and_pd(upper, half)));
                        const __m128i m = _mm_shuffle_epi32(_mm_castpd_si128(upper), 0x08);
                        r[e] = _mm_xor_si128(v, _mm_and_si128(m, _mm_set1_epi32(INT32_MIN)));
                    }
                    q[h] = _mm_unpacklo_epi64(r[0], r[1]);
                } else {
                    q[h] = lanes_of(p, _mm_set1_pd(double(std::numeric_limits<D>::min())),
                                    _mm_set1_pd(double(std::numeric_limits<D>::max())));
                }
            }
            // The lanes hold values already in D's range: packing loses nothing.
            __m128i *out = reinterpret_cast<__m128i *>(dst + j);
            if constexpr (sizeof(D) == 4) {
                _mm_storeu_si128(out, q[0]);
                _mm_storeu_si128(out + 1, q[1]);
            } else if constexpr (std::is_same_v<D, int16_t>) {
                _mm_storeu_si128(out, _mm_packs_epi32(q[0], q[1]));
            } else if constexpr (std::is_same_v<D, uint16_t>) {
                const __m128i bias = _mm_set1_epi32(32768);
                const __m128i w = _mm_packs_epi32(_mm_sub_epi32(q[0], bias), _mm_sub_epi32(q[1], bias));
                _mm_storeu_si128(out, _mm_xor_si128(w, _mm_set1_epi16(INT16_MIN)));
            } else {
                const __m128i w = _mm_packs_epi32(q[0], q[1]);
                const __m128i b = std::is_same_v<D, int8_t> ? _mm_packs_epi16(w, w) : _mm_packus_epi16(w, w);
                _mm_storel_epi64(out, b);
            }
        }
        return;
    }
#endif
    for (int64_t j = 0; j < kBlock; j++) dst[j] = to_integer<D>(t[j]);
}

#ifdef __SSE2__
// Four floats scaled in double and truncated to int32 lanes; *seen collects the
// lanes that came out as INT32_MIN (see saturate_block).
template <typename F>
inline __m128i scaled_lanes(const float *p, F f, __m128i *seen)
{
    const __m128 x = _mm_loadu_ps(p);
    const __m128d lo = f.vec(_mm_cvtps_pd(x)), hi = f.vec(_mm_cvtps_pd(_mm_movehl_ps(x, x)));
    const __m128i q = _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi));
    *seen = _mm_or_si128(*seen, _mm_cmpeq_epi32(q, _mm_set1_epi32(INT32_MIN)));
    return q;
}
#endif

template <typename D, typename S, typename F>
inline void convert_block(D *__restrict dst, const S *__restrict src, F f)
{
    using Value = typename F::Value;
#ifdef __SSE2__
    if constexpr (std::is_same_v<S, float> && std::is_same_v<Value, double> && kPackable<D>) {
        // Floats scaled into integers in one pass, without a block of doubles
        // between; a block with an unconvertible lane is done again element by element.
        __m128i seen = _mm_setzero_si128();
        for (int64_t j = 0; j < kBlock; j += 8)
            narrow_lanes(dst + j, scaled_lanes(src + j, f, &seen), scaled_lanes(src + j + 4, f, &seen));
        if (_mm_movemask_epi8(seen) != 0)
            for (int64_t j = 0; j < kBlock; j++) dst[j] = to_integer<D>(f(src[j]));
        return;
    }
#endif
    if constexpr (std::is_integral_v<D> && std::is_floating_point_v<Value>) {
        Value t[kBlock];
        for (int64_t j = 0; j < kBlock; j++) t[j] = f(src[j]);
        saturate_block(dst, t);
    } else {
        // Integers widen by their sign and narrow to their low bits; floating
        // destinations round to nearest.
        for (int64_t j = 0; j < kBlock; j++) dst[j] = D(f(src[j]));
    }
}

// Fewer than a block: through local copies, reading all of the source first.
template <typename D, typename S, typename F>
inline void convert_short(D *dst, const S *src, int64_t n, F f)
{
    S in[kBlock] = {};
    D out[kBlock];
    std::memcpy(in, src, size_t(n) * sizeof(S));
    convert_block(out, in, f);
    std::memcpy(dst, out, size_t(n) * sizeof(D));
}

// Convert n elements.  Separate arrays are converted straight through.  Arrays
// that overlap (in place) go one block at a time through a copy of its source
// taken before any of it is overwritten: widening from the last block down,
// narrowing from the first block up, so no element is overwritten unread.
template <typename D, typename S, typename F>
void convert_all(D *dst, const S *src, int64_t n, F f)
{
    const auto d = reinterpret_cast<uintptr_t>(dst), s = reinterpret_cast<uintptr_t>(src);
    const bool overlap = d < s + uintptr_t(n) * sizeof(S) && s < d + uintptr_t(n) * sizeof(D);
    int64_t k = 0;
    if (!overlap) {
        for (; k + kBlock <= n; k += kBlock) convert_block(dst + k, src + k, f);
        convert_short(dst + k, src + k, n - k, f);
    } else if (sizeof(D) >= sizeof(S)) {
        S in[kBlock];
        for (k = n; k >= kBlock;) {
            k -= kBlock;
            std::memcpy(in, src + k, sizeof in);
            convert_block(dst + k, in, f);
        }
        convert_short(dst, src, k, f);
    } else {
        S in[kBlock];
        for (; k + kBlock <= n; k += kBlock) {
            std::memcpy(in, src + k, sizeof in);
            convert_block(dst + k, in, f);
        }
        convert_short(dst + k, src + k, n - k, f);
    }
}

// Removing a scale: rounded into integer types unless it is the identity, which
// keeps the truncation of the other conversions.
template <typename D, typename S, typename F>
void remove_scale(D *v1, const S *v2, int64_t npix, F f, bool identity)
{
    if constexpr (std::is_integral_v<D>) {
        if (!identity) {
            convert_all(v1, v2, npix, Rounded<F>{f});
            return;
        }
    }
    convert_all(v1, v2, npix, f);
}

// The one body of every converter; the branch is chosen once per call.
template <typename D, typename S>
void convert(D *v1, const S *v2, int64_t npix, int direction, int hasscale, double bscale, double bzero)
{
    if (npix <= 0 || !v1 || !v2) return;
    if constexpr (kExactPair<D, S>) {
        if (hasscale && whole_offset(bscale, bzero)) {
            const double offset = direction ? bzero : -bzero;
            convert_all(v1, v2, npix, ExactOffset<D, S>{Wide{offset < 0, false, uint64_t(std::fabs(offset))}});
            return;
        }
    }
    const bool identity = bscale == 1.0 && bzero == 0.0;
    if (!hasscale) {
        if constexpr (std::is_same_v<D, S>) std::memmove(v1, v2, size_t(npix) * sizeof(S)); // bit for bit
        else convert_all(v1, v2, npix, Plain<D, S>{});
    } else if (direction) {
        if (bscale == 1.0) convert_all(v1, v2, npix, ApplyOffset<D, S>{bzero});
        else convert_all(v1, v2, npix, Apply<D, S>{bscale, bzero});
    } else if (bscale == 1.0) {
        remove_scale(v1, v2, npix, RemoveOffset<D, S>{bzero}, identity);
    } else if (double reciprocal; exact_reciprocal(bscale, &reciprocal)) {
        remove_scale(v1, v2, npix, RemoveBinary<D, S>{reciprocal, bzero}, identity);
    } else {
        remove_scale(v1, v2, npix, Remove<D, S>{bscale, bzero}, identity);
    }
}

using Converter = void (*)(void *, const void *, int64_t, int, int, double, double);

template <int X, int Y>
void convert_untyped(void *v1, const void *v2, int64_t npix, int direction, int hasscale, double bscale,
                     double bzero)
{
    convert(static_cast<Element<X> *>(v1), static_cast<const Element<Y> *>(v2), npix, direction, hasscale,
            bscale, bzero);
}

template <int X, int... Y>
constexpr std::array<Converter, sizeof...(Y)> dispatch_row(std::integer_sequence<int, Y...>)
{
    return {convert_untyped<X, Y>...};
}

template <int... X>
constexpr auto dispatch_table(std::integer_sequence<int, X...>)
{
    return std::array<std::array<Converter, fits_pixel::LETTERS>, sizeof...(X)>{
        dispatch_row<X>(std::make_integer_sequence<int, fits_pixel::LETTERS>())...};
}

// Destination letter (row) x source letter (column) -> converter.
constexpr auto kDispatch = dispatch_table(std::make_integer_sequence<int, fits_pixel::LETTERS>());

} // namespace

extern "C" {

void ft_acht(int type1, void *v1, int type2, const void *v2, int64_t npix, int direction, int hasscale,
             double bscale, double bzero)
{
    const int x = fits_pixel::code_letter(type1), y = fits_pixel::code_letter(type2);
    if (x < 0 || y < 0) return;
    kDispatch[size_t(x)][size_t(y)](v1, v2, npix, direction, hasscale, bscale, bzero);
}

// The converters by name, acht followed by the destination and source letters.
#define FT_ACHT_DEFINE(X, Y, TX, TY)                                                                  \
    void acht##X##Y(TX *v1, const TY *v2, int64_t npix, int direction, int hasscale, double bscale,   \
                    double bzero)                                                                     \
    {                                                                                                 \
        convert(v1, v2, npix, direction, hasscale, bscale, bzero);                                    \
    }
#define FT_ACHT_ROW(X, TX)                                                                            \
    FT_ACHT_DEFINE(X, c, TX, int8_t) FT_ACHT_DEFINE(X, s, TX, int16_t)                                \
    FT_ACHT_DEFINE(X, i, TX, int32_t) FT_ACHT_DEFINE(X, l, TX, int32_t)                               \
    FT_ACHT_DEFINE(X, r, TX, float) FT_ACHT_DEFINE(X, d, TX, double)                                  \
    FT_ACHT_DEFINE(X, t, TX, uint8_t) FT_ACHT_DEFINE(X, u, TX, uint16_t)                              \
    FT_ACHT_DEFINE(X, v, TX, uint32_t) FT_ACHT_DEFINE(X, w, TX, uint32_t)                             \
    FT_ACHT_DEFINE(X, k, TX, int64_t) FT_ACHT_DEFINE(X, x, TX, uint64_t)
FT_ACHT_ROW(c, int8_t)
FT_ACHT_ROW(s, int16_t)
FT_ACHT_ROW(i, int32_t)
FT_ACHT_ROW(l, int32_t)
FT_ACHT_ROW(r, float)
FT_ACHT_ROW(d, double)
FT_ACHT_ROW(t, uint8_t)
FT_ACHT_ROW(u, uint16_t)
FT_ACHT_ROW(v, uint32_t)
FT_ACHT_ROW(w, uint32_t)
FT_ACHT_ROW(k, int64_t)
FT_ACHT_ROW(x, uint64_t)
#undef FT_ACHT_ROW
#undef FT_ACHT_DEFINE

} // extern "C"
