// The cut at the width in use: the rolling chain for the scalar width, each
// window tested on its own (boundary_find) for the vector widths.
#include "chunk/boundary_scan.h"
#include "chunk/chunker.h"
#include "chunk/simd_width.h"
#include "platform/plat.h"

namespace {

// The window value at span index k (chunk index start + k >= 99) when the
// window reaches back before the span: those bytes are in the chunk buffer.
inline uint32_t window_across(const BoundaryTables& t, const uint8_t* chunk_buf, size_t start,
                              const uint8_t* p, size_t k) {
  uint32_t v = kWindowStartValue;
  for (size_t d = 0; d < kWindowLength; d++) {
    uint8_t b = d <= k ? p[k - d] : chunk_buf[start + k - d];
    v ^= t.lin[d][b];
  }
  return v;
}

}  // namespace

size_t chunker_cut(Chunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf, bool* ended) {
  const SimdWidth width = simd_width();
  if (width == kSimdScalar) return chunker_cut_rolling(c, p, n, chunk_buf, ended);
  *ended = false;
  const size_t start = c->chunk_length;
  const size_t room = kMaxChunkLength - start;
  const size_t limit = n < room ? n : room;
  if (limit == 0) return 0;
  // The first span index whose byte can end the chunk (the chunk's 100th).
  size_t k = start + 1 >= kMinChunkLength ? 0 : kMinChunkLength - 1 - start;
  bool end = false;
  if (k < limit) {
    const BoundaryTables& t = boundary_tables();
    // Windows that begin before the span.
    for (; k < limit && k + 1 < kWindowLength; k++) {
      if (window_across(t, chunk_buf, start, p, k) < kBoundaryThreshold) {
        end = true;
        break;
      }
    }
    if (!end && k < limit) {
      k = boundary_find(width, p, k, limit, kBoundaryThreshold);
      end = k < limit;
    }
    if (end) k++;  // the boundary byte is the chunk's last
  } else {
    k = limit;
  }
  if (k == room) end = true;  // the length rule
  plat_copy(chunk_buf + start, p, k);
  c->chunk_length = uint32_t(start + k);
  c->last_byte = p[k - 1];
  *ended = end;
  return k;
}
