// Speed of the fringe fit of one 2048 x 4096 extension, lean path against the
// design-matrix path, the lean path on each instruction set this CPU has, and
// (with --peak) the peak memory of one fit in a fresh process.
#include "fit_reference.h"
#include "fringefit.h"
#include "simd_path.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int NX = 2048, NY = 4096;

// One mosaic held in memory: a primary unit and one extension of big-endian floats.
struct MemoryMosaic {
    std::vector<uint32_t> pixels;
    _FITSBasic basic{};
    _FITSHead head0{}, head1{};
    std::vector<FITSHead> heads;
    std::vector<void *> data;
    _Mosaic rec{};

    template <typename F>
    explicit MemoryMosaic(F value) : pixels(size_t(NX) * NY), heads(2), data(2)
    {
        for (int y = 0; y < NY; y++)
            for (int x = 0; x < NX; x++) {
                const float v = value(x, y);
                uint32_t u;
                std::memcpy(&u, &v, 4);
                pixels[size_t(y) * NX + x] = __builtin_bswap32(u);
            }
        basic.bitpix = -32;
        basic.naxes = 2;
        basic.naxis[0] = NX;
        basic.naxis[1] = NY;
        head1.basic = &basic;
        heads = {&head0, &head1};
        data = {nullptr, pixels.data()};
        rec = {heads.data(), data.data(), nullptr, nullptr, 2, nullptr};
    }
    Mosaic get() { return &rec; }
};

struct Scene {
    std::vector<std::unique_ptr<MemoryMosaic>> fringes;
    std::unique_ptr<MemoryMosaic> science;
    std::vector<Mosaic> fringe_list;

    explicit Scene(int nfringe)
    {
        for (int k = 0; k < nfringe; k++)
            fringes.push_back(std::make_unique<MemoryMosaic>([k](int x, int y) {
                return float(std::sin(0.01 * (k + 1) * x + 0.013 * y));
            }));
        science = std::make_unique<MemoryMosaic>([nfringe](int x, int y) {
            unsigned h = unsigned(x) * 2654435761u ^ unsigned(y) * 40503u;
            double v = 1000.0 + 0.01 * x - 0.02 * y + double(h % 1000) / 100.0;
            for (int k = 0; k < nfringe; k++) v += 25.0 * std::sin(0.01 * (k + 1) * x + 0.013 * y);
            if (h % 997 == 0) v += 3000.0; // a star
            return float(v);
        });
        for (auto &f : fringes) fringe_list.push_back(f->get());
    }
};

void run_fit(benchmark::State &state, FitPath path)
{
    Scene scene(int(state.range(0)));
    std::FILE *null = std::fopen("/dev/null", "w");
    for (auto _ : state)
        fringe_fit(scene.science->get(), scene.fringe_list.data(), int(scene.fringe_list.size()), null,
                   path);
    std::fclose(null);
    state.SetBytesProcessed(int64_t(state.iterations()) * NX * NY * 4 * (1 + state.range(0)));
}

// One lean fitter fitting the extension again and again and writing it back
// elsewhere, as it fits each extension after the first of a mosaic: the fit
// without the first touch of its arrays.
void run_fit_again(benchmark::State &state)
{
    Scene scene(int(state.range(0)));
    Mosaic science = scene.science->get();
    const int nfringe = int(scene.fringe_list.size());
    const FitGeometry g = fit_geometry(science, nfringe);
    ExtensionFitter fitter(g);
    const ExtensionData x = extension_data(science, scene.fringe_list.data(), nfringe, 1);
    std::vector<uint32_t> out(scene.science->pixels);
    auto fit_once = [&] {
        std::string rows;
        fitter.fit(x, rows);
        fitter.store(out.data(), 0, g.npix);
    };
    fit_once(); // the first fit, which touches the fresh arrays, is not timed
    for (auto _ : state) fit_once();
    state.SetBytesProcessed(int64_t(state.iterations()) * NX * NY * 4 * (1 + state.range(0)));
}

// The corrected pixels of the extension made from its inputs and a fitted model,
// as the writer makes them: the pass after the fit that an in-place run adds.
void run_store(benchmark::State &state)
{
    Scene scene(int(state.range(0)));
    Mosaic science = scene.science->get();
    const int nfringe = int(scene.fringe_list.size());
    const FitGeometry g = fit_geometry(science, nfringe);
    ExtensionFitter fitter(g);
    const ExtensionData x = extension_data(science, scene.fringe_list.data(), nfringe, 1);
    std::string rows;
    if (fitter.fit(x, rows) != FitOutcome::fitted) state.SkipWithError("the scene did not fit");
    std::vector<uint32_t> out(size_t(g.npix));
    for (auto _ : state) {
        fitter.store(out.data(), 0, g.npix);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * NX * NY * 4 * (1 + state.range(0)));
}

void BM_fit_lean(benchmark::State &state) { run_fit(state, FitPath::lean); }
void BM_fit_straight(benchmark::State &state) { run_fit(state, FitPath::straight); }
void BM_fit_lean_again(benchmark::State &state) { run_fit_again(state); }

BENCHMARK(BM_fit_lean)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fit_straight)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_fit_lean_again)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

// BM_fit_lean and BM_fit_lean_again on each instruction set this CPU has
// (BM_fit_lean_on/avx2/2, ...).
void register_paths()
{
    for (SimdPath p : supported_simd_paths()) {
        const std::string on = std::string("_on/") + simd_path_name(p);
        // The benchmark `run` with the path forced.
        auto on_path = [p](void (*run)(benchmark::State &)) {
            return [p, run](benchmark::State &state) {
                force_simd_path(p);
                run(state);
                unforce_simd_path();
            };
        };
        auto fresh = on_path([](benchmark::State &state) { run_fit(state, FitPath::lean); });
        auto again = on_path(run_fit_again);
        auto store = on_path(run_store);
        benchmark::RegisterBenchmark(("BM_store" + on).c_str(), store)->Arg(2)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_fit_lean" + on).c_str(), fresh)->Arg(1)->Arg(2)->Arg(4)->Unit(
            benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_fit_lean_again" + on).c_str(), again)->Arg(1)->Arg(2)->Arg(4)->Unit(
            benchmark::kMillisecond);
    }
}

long peak_kib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

} // namespace

// tolv_bench --peak lean|straight NFRINGE: one fit, then the process's peak
// resident memory in KiB, inputs included.
int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) {
        Scene scene(std::atoi(argv[3]));
        const long before = peak_kib();
        std::FILE *null = std::fopen("/dev/null", "w");
        fringe_fit(scene.science->get(), scene.fringe_list.data(), int(scene.fringe_list.size()), null,
                   std::strcmp(argv[2], "straight") == 0 ? FitPath::straight : FitPath::lean);
        std::fclose(null);
        std::printf("inputs %ld KiB, peak %ld KiB, fit %ld KiB\n", before, peak_kib(), peak_kib() - before);
        return 0;
    }
    register_paths();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
