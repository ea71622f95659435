// The choice of vector instruction set: what the CPU reports (cpuid, and the
// operating system's support for the wider registers), TOLV_SIMD, or a test.
#include "simd_path.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// Names of the paths, in the order of SimdPath.
constexpr const char *path_names[] = {"sse2", "avx2", "avx512"};
constexpr SimdPath all_paths[] = {SimdPath::sse2, SimdPath::avx2, SimdPath::avx512};

bool cpu_runs(SimdPath p)
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    switch (p) {
    case SimdPath::sse2: return true; // part of x86-64; the 32-bit build requires it
    case SimdPath::avx2: return __builtin_cpu_supports("avx2");
    case SimdPath::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
    }
    return false;
#else
    return p == SimdPath::sse2;
#endif
}

// The best path the CPU runs that is not above `limit`.
SimdPath best_up_to(SimdPath limit)
{
    SimdPath best = SimdPath::sse2;
    for (SimdPath p : all_paths)
        if (p <= limit && cpu_runs(p)) best = p;
    return best;
}

// -1: nothing forced, else the SimdPath forced.
std::atomic<int> forced{-1};

} // namespace

const char *simd_path_name(SimdPath p) { return path_names[int(p)]; }

bool simd_path_named(const char *name, SimdPath *p)
{
    if (!name) return false;
    for (SimdPath q : all_paths)
        if (std::strcmp(name, simd_path_name(q)) == 0) {
            *p = q;
            return true;
        }
    return false;
}

std::vector<SimdPath> supported_simd_paths()
{
    std::vector<SimdPath> paths;
    for (SimdPath p : all_paths)
        if (cpu_runs(p)) paths.push_back(p);
    return paths;
}

SimdPath choose_simd_path(const char *requested)
{
    SimdPath p = SimdPath::avx512;
    simd_path_named(requested, &p);
    return best_up_to(p);
}

SimdPath simd_path()
{
    const int f = forced.load();
    return f >= 0 ? SimdPath(f) : choose_simd_path(std::getenv("TOLV_SIMD"));
}

SimdPath force_simd_path(SimdPath p)
{
    const SimdPath in_use = best_up_to(p);
    forced.store(int(in_use));
    return in_use;
}

void unforce_simd_path() { forced.store(-1); }
