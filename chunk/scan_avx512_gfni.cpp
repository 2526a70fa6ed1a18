// The boundary scan with AVX-512 and GFNI: the top byte of 64 windows at
// once, each window byte's part of it one affine byte transform.
#include "chunk/scan_kernels.h"
#include "chunk/vector_kernels.h"

#if CHUNK_SIMD_LANES

__attribute__((target("avx512f,avx512bw,gfni")))
size_t find_avx512_gfni(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                        uint32_t threshold) {
  __m512i mat[12];
  for (int d = 0; d < 12; d++) mat[d] = _mm512_set1_epi64(int64_t(t.top_matrix[d]));
  const __m512i top0 = _mm512_set1_epi8(char(kWindowStartValue >> 24));
  const __m512i limit = _mm512_set1_epi8(char(threshold >> 24));
  size_t i = from;
  for (; i + 64 <= to; i += 64) {
    __m512i acc = top0;
    for (int d = 0; d < 12; d += 2) {
      __m512i a = _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(p + i - d), mat[d], 0);
      __m512i b = _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(p + i - d - 1), mat[d + 1], 0);
      acc = _mm512_ternarylogic_epi32(acc, a, b, 0x96);
    }
    uint64_t m = _mm512_cmple_epu8_mask(acc, limit);
    size_t at;
    if (m != 0 && first_in_mask(t, p, i, m, threshold, &at)) return at;
  }
  return find_each(t, p, i, to, threshold);
}

#endif  // CHUNK_SIMD_LANES
