// The boundary scan with AVX-512: the top byte of 64 windows at once from
// nibble table shuffles.
#include "chunk/scan_kernels.h"
#include "chunk/vector_kernels.h"

#if CHUNK_SIMD_LANES

__attribute__((target("avx512f,avx512bw")))
size_t find_avx512(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                   uint32_t threshold) {
  __m512i lo_tab[12], hi_tab[12];
  for (int d = 0; d < 12; d++) {
    lo_tab[d] = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_lo[d])));
    hi_tab[d] = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_hi[d])));
  }
  const __m512i nib = _mm512_set1_epi8(0x0F);
  const __m512i top0 = _mm512_set1_epi8(char(kWindowStartValue >> 24));
  const __m512i limit = _mm512_set1_epi8(char(threshold >> 24));
  size_t i = from;
  for (; i + 64 <= to; i += 64) {
    __m512i acc = top0;
    for (int d = 0; d < 12; d++) {
      __m512i b = _mm512_loadu_si512(p + i - d);
      __m512i lo = _mm512_and_si512(b, nib);
      __m512i hi = _mm512_and_si512(_mm512_srli_epi16(b, 4), nib);
      acc = _mm512_ternarylogic_epi32(acc, _mm512_shuffle_epi8(lo_tab[d], lo),
                                      _mm512_shuffle_epi8(hi_tab[d], hi), 0x96);
    }
    uint64_t m = _mm512_cmple_epu8_mask(acc, limit);
    size_t at;
    if (m != 0 && first_in_mask(t, p, i, m, threshold, &at)) return at;
  }
  return find_each(t, p, i, to, threshold);
}

#endif  // CHUNK_SIMD_LANES
