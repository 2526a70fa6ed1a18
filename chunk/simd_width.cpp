#include "chunk/simd_width.h"

namespace {

// -1 until the first call decides.
int32_t g_width = -1;

// gcc's processor checks count a width only when the system saves its
// registers too: AVX2 needs the YMM state and AVX-512 the opmask and ZMM
// states turned on in XCR0 (read with xgetbv, which user code may do on
// Linux and Windows alike), so no call into the system is needed.
bool cpu_has(SimdWidth w) {
#if CHUNK_SIMD_LANES
  __builtin_cpu_init();
  if (w == kSimdAvx2) return __builtin_cpu_supports("avx2");
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vl");
  if (w == kSimdAvx512) return avx512;
  if (w == kSimdAvx512Gfni) return avx512 && __builtin_cpu_supports("gfni");
#endif
  return w == kSimdScalar;
}

SimdWidth widest_up_to(SimdWidth limit) {
  for (int32_t w = limit; w > kSimdScalar; w--) {
    if (cpu_has(SimdWidth(w))) return SimdWidth(w);
  }
  return kSimdScalar;
}

}  // namespace

bool simd_width_available(SimdWidth w) { return cpu_has(w); }

SimdWidth simd_width() {
  if (g_width < 0) {
    g_width = widest_up_to(kSimdAvx512Gfni);
  }
  return SimdWidth(g_width);
}

bool simd_set_width(SimdWidth w) {
  if (!cpu_has(w)) return false;
  g_width = w;
  return true;
}

const char* simd_width_name(SimdWidth w) {
  switch (w) {
    case kSimdAvx2: return "avx2";
    case kSimdAvx512: return "avx512";
    case kSimdAvx512Gfni: return "avx512gfni";
    default: return "scalar";
  }
}
