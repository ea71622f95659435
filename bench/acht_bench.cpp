// Speed of the pixel converters and the byte swap against memcpy of the same
// bytes, over an image of 2048 x 4096 pixels (far larger than the caches).
#include "fits.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int64_t kPixels = int64_t(2048) * 4096;

// Deterministic values covering the whole 16-bit range and, as floats, the range
// a 16-bit unsigned image with BZERO 32768 holds.
template <typename T>
std::vector<T> sample(int64_t n)
{
    std::vector<T> v(static_cast<size_t>(n));
    uint32_t h = 12345;
    for (auto &x : v) {
        h = h * 1664525u + 1013904223u;
        if constexpr (sizeof(T) == 2) x = T(h >> 16);
        else x = T(double(h >> 16) + double(h & 0xff) / 256.0);
    }
    return v;
}

void set_bytes(benchmark::State &state, int64_t bytes)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.counters["Mpix/s"] =
        benchmark::Counter(double(state.iterations()) * double(kPixels) / 1e6, benchmark::Counter::kIsRate);
}

// memcpy of kPixels elements of range(0) bytes: 2, 4 and 8 are the sizes of a
// converter's source or destination array, 3 and 6 move as many bytes (read plus
// written) as converting between 2 and 4 or between 4 and 8 bytes a pixel.
void BM_memcpy(benchmark::State &state)
{
    const int64_t bytes = kPixels * state.range(0);
    std::vector<unsigned char> from(static_cast<size_t>(bytes), 1), to(static_cast<size_t>(bytes));
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size_t(bytes));
        benchmark::ClobberMemory();
    }
    set_bytes(state, bytes);
}
BENCHMARK(BM_memcpy)->ArgName("bytes_per_pixel")->Arg(2)->Arg(3)->Arg(4)->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond);

template <typename D, typename S>
void run_acht(benchmark::State &state, int type1, int type2, int direction, int hasscale, double bscale,
              double bzero)
{
    const std::vector<S> from = sample<S>(kPixels);
    std::vector<D> to(static_cast<size_t>(kPixels));
    for (auto _ : state) {
        ft_acht(type1, to.data(), type2, from.data(), kPixels, direction, hasscale, bscale, bzero);
        benchmark::ClobberMemory();
    }
    set_bytes(state, kPixels * int64_t(sizeof(D) > sizeof(S) ? sizeof(D) : sizeof(S)));
}

// 16-bit file values scaled into floats: the unsigned-16 convention, BZERO 32768.
void BM_acht_16_to_m32_scaled(benchmark::State &state)
{
    run_acht<float, int16_t>(state, -32, 16, 1, 1, 1.0, 32768.0);
}
// Floats widened to doubles.
void BM_acht_m32_to_m64(benchmark::State &state) { run_acht<double, float>(state, -64, -32, 1, 0, 1.0, 0.0); }
// Floats back into 16-bit file values, BZERO 32768 removed.
void BM_acht_m32_to_16_scaled(benchmark::State &state)
{
    run_acht<int16_t, float>(state, 16, -32, 0, 1, 1.0, 32768.0);
}
// The same with a scale that is not a power of two, which needs a true division.
void BM_acht_m32_to_16_scaled_decimal(benchmark::State &state)
{
    run_acht<int16_t, float>(state, 16, -32, 0, 1, 0.1, 100.0);
}
BENCHMARK(BM_acht_16_to_m32_scaled)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_acht_m32_to_m64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_acht_m32_to_16_scaled)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_acht_m32_to_16_scaled_decimal)->Unit(benchmark::kMillisecond);

// File order to host order of 32-bit values, into another array and in place.
void BM_swap4(benchmark::State &state)
{
    const int64_t bytes = kPixels * 4;
    std::vector<unsigned char> from(static_cast<size_t>(bytes), 1), to(static_cast<size_t>(bytes));
    for (auto _ : state) {
        swap4(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    set_bytes(state, bytes);
}
void BM_swap4_in_place(benchmark::State &state)
{
    const int64_t bytes = kPixels * 4;
    std::vector<unsigned char> data(static_cast<size_t>(bytes), 1);
    for (auto _ : state) {
        swap4(data.data(), data.data(), bytes);
        benchmark::ClobberMemory();
    }
    set_bytes(state, bytes);
}
BENCHMARK(BM_swap4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_swap4_in_place)->Unit(benchmark::kMillisecond);

} // namespace
