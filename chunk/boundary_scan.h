// Finding chunk-boundary candidates without a serial chain.
//
// The window value at a byte is the CRC-32 of the 12 bytes that end there.
// CRC-32 is affine over GF(2): the value is the CRC of 12 zero bytes XOR one
// table entry per window byte (lin[d][b]: byte b at distance d from the
// window's end, d = 0 for the last byte). So every position can be tested on
// its own. The vector paths compute only the top byte of the value, from
// 4-bit halves of each window byte looked up in 16-entry tables (a byte
// shuffle per half and distance), for 32 or 64 positions at once; a value
// below the threshold needs a top byte of 0 or 1, and only those positions
// (about 1 in 128 on random data) get their full value computed. With GFNI
// the top byte's part from one window byte is a linear map of that byte (an
// 8x8 bit matrix per distance), which one affine byte transform applies to
// 64 positions at once.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/simd_width.h"
#include "chunk/window_crc.h"

struct BoundaryTables {
  uint32_t lin[12][256];
  uint8_t top_lo[12][16];  // top byte of lin[d][n]
  uint8_t top_hi[12][16];  // top byte of lin[d][n << 4]
  // The map byte b -> top byte of lin[d][b] as the 8x8 bit matrix that
  // GF2P8AFFINEQB takes: byte 7 - i holds the input bits of output bit i.
  uint64_t top_matrix[12];
};

// Built on first use.
const BoundaryTables& boundary_tables();

// The window value of the 12 bytes w[-11..0] (w points at the last one).
inline uint32_t window_value_at(const BoundaryTables& t, const uint8_t* w) {
  uint32_t v = kWindowStartValue;
  for (int d = 0; d < 12; d++) v ^= t.lin[d][w[-d]];
  return v;
}

// The first index i in [from, to) whose window p[i-11..i] has a value below
// threshold, or `to` when there is none. from >= 11: every window lies in p.
size_t boundary_find(SimdWidth w, const uint8_t* p, size_t from, size_t to, uint32_t threshold);
