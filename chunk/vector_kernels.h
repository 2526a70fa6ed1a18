// What the files of the vector kernels share: the x86 intrinsics, and the
// rule that keeps vectors off the stack where it may be misaligned.
#pragma once

#if CHUNK_SIMD_LANES
// gcc 12's AVX-512 intrinsics start some results from a deliberately
// undefined vector, which its uninitialised-value warnings report. (clang
// knows no -Wmaybe-uninitialized and would warn about the pragma itself.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

// The kernels' helpers are always inlined: no vector is passed by value or
// returned across a call, where a 32-bit ABI would put it on the stack and
// take the caller's alignment of that stack for granted.
#define KERNEL_INLINE inline __attribute__((always_inline))
