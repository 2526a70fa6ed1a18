// Which vector width the chunk digest and the boundary scan use.
//
// Chosen once, on first use: the widest one that the processor offers and
// this build holds. Tests and benchmarks switch widths with simd_set_width,
// so that every path can be run and compared on one machine. Every width
// gives the same bytes.
#pragma once
#include <cstdint>

// kSimdAvx512Gfni is the AVX-512 digest with a boundary scan that computes
// each window's top byte with GF(2) affine byte transforms instead of table
// shuffles.
enum SimdWidth : int32_t { kSimdScalar = 0, kSimdAvx2 = 1, kSimdAvx512 = 2, kSimdAvx512Gfni = 3 };

// Every width, narrowest first, for tests and benchmarks that try each.
constexpr SimdWidth kAllSimdWidths[] = {kSimdScalar, kSimdAvx2, kSimdAvx512, kSimdAvx512Gfni};

// The width in use.
SimdWidth simd_width();

// Whether this build and this processor can run width w.
bool simd_width_available(SimdWidth w);

// Switches to width w for what follows (tests and benchmarks). Returns false,
// changing nothing, when w is not available.
bool simd_set_width(SimdWidth w);

// "scalar", "avx2", "avx512" or "avx512gfni".
const char* simd_width_name(SimdWidth w);
