#include "server/boundary_scan.h"

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

namespace {

BoundaryTables g_tables;
bool g_tables_ready = false;

uint32_t plain_crc(const uint32_t* table, const uint8_t* p, size_t n) {
  uint32_t r = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) r = (r >> 8) ^ table[(r ^ p[i]) & 0xFF];
  return r ^ 0xFFFFFFFFu;
}

// Positions [from, to) one by one. Used where no vector path applies, and for
// the ends of spans that a vector does not fill.
size_t find_each(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                 uint32_t threshold) {
  for (size_t i = from; i < to; i++) {
    if (window_value_at(t, p + i) < threshold) return i;
  }
  return to;
}

#if CHUNK_SIMD_LANES

// The candidates among 64 positions whose top byte already rules them out
// are dropped; the others are tested in full, in order.
inline bool first_in_mask(const BoundaryTables& t, const uint8_t* p, size_t base, uint64_t m,
                          uint32_t threshold, size_t* at) {
  while (m != 0) {
    size_t i = base + size_t(__builtin_ctzll(m));
    if (window_value_at(t, p + i) < threshold) {
      *at = i;
      return true;
    }
    m &= m - 1;
  }
  return false;
}

__attribute__((target("avx512f,avx512bw")))
size_t find_avx512(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                   uint32_t threshold) {
  __m512i lo_tab[12], hi_tab[12];
  for (int d = 0; d < 12; d++) {
    lo_tab[d] = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_lo[d])));
    hi_tab[d] = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_hi[d])));
  }
  const __m512i nib = _mm512_set1_epi8(0x0F);
  const __m512i top0 = _mm512_set1_epi8(char(kZeroWindowCrc >> 24));
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

__attribute__((target("avx512f,avx512bw,gfni")))
size_t find_avx512_gfni(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                        uint32_t threshold) {
  __m512i mat[12];
  for (int d = 0; d < 12; d++) mat[d] = _mm512_set1_epi64(int64_t(t.top_matrix[d]));
  const __m512i top0 = _mm512_set1_epi8(char(kZeroWindowCrc >> 24));
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

__attribute__((target("avx2")))
size_t find_avx2(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                 uint32_t threshold) {
  __m256i lo_tab[12], hi_tab[12];
  for (int d = 0; d < 12; d++) {
    lo_tab[d] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_lo[d])));
    hi_tab[d] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.top_hi[d])));
  }
  const __m256i nib = _mm256_set1_epi8(0x0F);
  const __m256i top0 = _mm256_set1_epi8(char(kZeroWindowCrc >> 24));
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

}  // namespace

const BoundaryTables& boundary_tables() {
  if (!g_tables_ready) {
    uint32_t crc[256];
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      crc[i] = c;
    }
    uint8_t w[12];
    for (int d = 0; d < 12; d++) {
      for (uint32_t b = 0; b < 256; b++) {
        for (int k = 0; k < 12; k++) w[k] = 0;
        w[11 - d] = uint8_t(b);
        g_tables.lin[d][b] = plain_crc(crc, w, 12) ^ kZeroWindowCrc;
      }
      for (uint32_t n = 0; n < 16; n++) {
        g_tables.top_lo[d][n] = uint8_t(g_tables.lin[d][n] >> 24);
        g_tables.top_hi[d][n] = uint8_t(g_tables.lin[d][n << 4] >> 24);
      }
      // lin[d] is linear in b, so its top byte is fixed by the eight
      // single-bit inputs: output bit i takes input bit k when
      // lin[d][1 << k] has bit 24 + i set.
      uint64_t m = 0;
      for (int i = 0; i < 8; i++) {
        uint64_t row = 0;
        for (int k = 0; k < 8; k++) row |= uint64_t((g_tables.lin[d][1u << k] >> (24 + i)) & 1) << k;
        m |= row << (8 * (7 - i));
      }
      g_tables.top_matrix[d] = m;
    }
    g_tables_ready = true;
  }
  return g_tables;
}

size_t boundary_find(SimdWidth w, const uint8_t* p, size_t from, size_t to, uint32_t threshold) {
  const BoundaryTables& t = boundary_tables();
#if CHUNK_SIMD_LANES
  if (w == kSimdAvx512Gfni) return find_avx512_gfni(t, p, from, to, threshold);
  if (w == kSimdAvx512) return find_avx512(t, p, from, to, threshold);
  if (w == kSimdAvx2) return find_avx2(t, p, from, to, threshold);
#endif
  (void)w;
  return find_each(t, p, from, to, threshold);
}
