// The vector instruction set the fit runs on, chosen at run time from what the
// CPU offers (never from compiler flags), or forced for tests and measurements.
// Every path computes the same bits.
#ifndef TOLV_SIMD_PATH_H
#define TOLV_SIMD_PATH_H

#include <vector>

// In order: every path the CPU runs lies below the best one it runs.  On a host
// that is not x86, sse2 names the portable baseline code and is the only path.
enum class SimdPath { sse2, avx2, avx512 };

// "sse2", "avx2" or "avx512".
const char *simd_path_name(SimdPath p);

// The path called `name` (as simd_path_name gives it) in *p; false, *p unchanged,
// for any other text.
bool simd_path_named(const char *name, SimdPath *p);

// The paths this CPU runs, in order; sse2 always.
std::vector<SimdPath> supported_simd_paths();

// The path to run when `requested` (the value of TOLV_SIMD, or null) asks for
// one: the path it names, or, when the CPU lacks that one, the best path below it
// that the CPU runs; the best path the CPU runs when `requested` is null or
// names no path.
SimdPath choose_simd_path(const char *requested);

// The path the fits made from now on use: the one forced, else
// choose_simd_path(getenv("TOLV_SIMD")).
SimdPath simd_path();

// Forces path p (falling back as choose_simd_path does) until unforced; returns
// the path now in use.
SimdPath force_simd_path(SimdPath p);
void unforce_simd_path();

#endif
