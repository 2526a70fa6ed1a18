#include "chunk/boundary_scan.h"

#include "chunk/scan_kernels.h"

namespace {

BoundaryTables g_tables;
bool g_tables_ready = false;

}  // namespace

const BoundaryTables& boundary_tables() {
  if (!g_tables_ready) {
    uint8_t w[12];
    for (int d = 0; d < 12; d++) {
      for (uint32_t b = 0; b < 256; b++) {
        for (int k = 0; k < 12; k++) w[k] = 0;
        w[11 - d] = uint8_t(b);
        g_tables.lin[d][b] = crc32_of(w, 12) ^ kWindowStartValue;
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
