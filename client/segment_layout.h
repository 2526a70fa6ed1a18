// Whether a run of store bytes is laid out as the server reads its store at
// start-up: cut with the store's own scan (client/store_scan.h, the cut of
// chunkcheck and the rebuild), chunk after chunk, each followed by padding
// that copies its last byte. Publish cuts its segments where this finds the
// last whole chunk; pull appends a segment only when it ends there and its
// padding is right.
#pragma once
#include <cstddef>
#include <cstdint>

struct SegmentLayout {
  bool header_ok = true;     // a run from position 0 begins with the header
  uint64_t whole_end = 0;    // store position after the last whole chunk
  uint64_t chunks = 0;
  uint64_t bad_padding = 0;  // chunks whose padding is not all copies
  uint64_t first_bad = 0;    // the first such chunk's ChunkOffset
};

// The n bytes at p are the store's from position `offset` on, which is 0
// (the header comes first) or the end of a whole chunk.
SegmentLayout segment_layout(const uint8_t* p, uint64_t offset, size_t n);
