// The boundary scan's kernels, one file each (scan_avx2.cpp,
// scan_avx512.cpp, scan_avx512_gfni.cpp), and what they share. Each finds
// the first index in [from, to) whose window value is below threshold, as
// boundary_find does, and is called only at its width.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/boundary_scan.h"

// Positions [from, to) one by one. Used where no vector path applies, and for
// the ends of spans that a vector does not fill.
inline size_t find_each(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                        uint32_t threshold) {
  for (size_t i = from; i < to; i++) {
    if (window_value_at(t, p + i) < threshold) return i;
  }
  return to;
}

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

size_t find_avx2(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                 uint32_t threshold);
size_t find_avx512(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                   uint32_t threshold);
size_t find_avx512_gfni(const BoundaryTables& t, const uint8_t* p, size_t from, size_t to,
                        uint32_t threshold);
