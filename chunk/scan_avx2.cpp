// The boundary scan with AVX2: the top byte of 32 windows at once from
// nibble table shuffles.
#include "chunk/scan_kernels.h"
#include "chunk/vector_kernels.h"

#if CHUNK_SIMD_LANES

__attribute__((target("avx2")))
size_t find_avx2(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                 uint32_t threshold) {
  __m256i lo_tab[12], hi_tab[12];
  for (int d = 0; d < 12; d++) {
    lo_tab[d] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_lo[d])));
    hi_tab[d] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_hi[d])));
  }
  const __m256i nib = _mm256_set1_epi8(0x0F);
  const __m256i top0 = _mm256_set1_epi8(char(kWindowStartValue >> 24));
  const __m256i limit = _mm256_set1_epi8(char(threshold >> 24));
  size_t i = from;
  for (; i + 32 <= to; i += 32) {
    __m256i acc = top0;
    for (int d = 0; d < 12; d++) {
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i - d));
      __m256i lo = _mm256_and_si256(b, nib);
      __m256i hi = _mm256_and_si256(_mm256_srli_epi16(b, 4), nib);
      acc = _mm256_xor_si256(acc, _mm256_xor_si256(_mm256_shuffle_epi8(lo_tab[d], lo),
                                                   _mm256_shuffle_epi8(hi_tab[d], hi)));
    }
    // top <= limit, unsigned: min(top, limit) == top.
    __m256i le = _mm256_cmpeq_epi8(_mm256_min_epu8(acc, limit), acc);
    uint64_t m = uint32_t(_mm256_movemask_epi8(le));
    size_t at;
    if (m != 0 && first_in_mask(t, p, i, m, threshold, &at)) return at;
  }
  return find_each(t, p, i, to, threshold);
}

#endif  // CHUNK_SIMD_LANES
