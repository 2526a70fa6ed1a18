// What the chunk digest's vector kernels (digest_avx2.cpp, digest_avx512.cpp)
// share: the order in which lanes take chunks, and each lane's bookkeeping.
// Each kernel digests chunks[0..n) (n <= kMaxLaneBatch) into keys, as
// chunk_digest_batch does, and is called only at its width.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/chunk_digest.h"
#include "chunk/chunker.h"

void digest_avx2(const ChunkSpan* chunks, size_t n, uint8_t* keys);
void digest_avx512(const ChunkSpan* chunks, size_t n, uint8_t* keys);

// The vector paths take at most this many chunks per call of their own.
constexpr size_t kMaxLaneBatch = 1024;

// order[0..n) receives the chunk indices longest first (by length / 63, the
// number of compressions less one; ties in input order). The lanes take
// chunks in this order: the longest ones start early, and the lanes run dry
// together at the end instead of most of them idling while the last long
// chunks are folded (for batches of 128 chunks of random data, about a fifth
// fewer steps in all). A counting sort: two passes over the lengths.
// n <= kMaxLaneBatch.
inline void longest_first(const ChunkSpan* chunks, size_t n, uint16_t* order) {
  constexpr uint32_t kBuckets = 64;  // 63 compressions and more share the last
  uint16_t start[kBuckets + 1] = {0};
  auto bucket = [&](size_t i) {
    uint32_t c = chunks[i].length / 63;
    return kBuckets - 1 - (c < kBuckets - 1 ? c : kBuckets - 1);  // 0: the longest
  };
  for (size_t i = 0; i < n; i++) start[bucket(i) + 1]++;
  for (uint32_t b = 0; b < kBuckets; b++) start[b + 1] = uint16_t(start[b + 1] + start[b]);
  for (size_t i = 0; i < n; i++) order[start[bucket(i)]++] = uint16_t(i);
}

// Per-lane bookkeeping shared by both widths: which chunk a lane digests and
// how much of it is still to be folded.
template <int kLanes>
struct Lanes {
  const ChunkSpan* chunks;
  size_t n;
  const uint16_t* order;  // the chunks in the order lanes take them
  size_t* next;  // the next entry of order to give a lane (shared by lane groups)
  const uint8_t* ptr[kLanes];
  uint32_t left[kLanes];
  int64_t chunk[kLanes];  // -1: idle
  alignas(64) uint32_t count[kLanes];  // bytes folded in this step

  void start(const ChunkSpan* c, size_t count_of_chunks, const uint16_t* chunk_order,
             size_t* next_chunk) {
    chunks = c;
    n = count_of_chunks;
    order = chunk_order;
    next = next_chunk;
    for (int l = 0; l < kLanes; l++) assign(l);
  }
  void assign(int l) {
    if (*next < n) {
      const uint16_t i = order[*next];
      chunk[l] = int64_t(i);
      ptr[l] = chunks[i].bytes;
      left[l] = chunks[i].length;
      (*next)++;
    } else {
      chunk[l] = -1;
    }
  }
  // Lanes whose chunk has just had its last compression.
  uint32_t finished() const {
    uint32_t m = 0;
    for (int l = 0; l < kLanes; l++) {
      if (chunk[l] >= 0 && left[l] == 0) m |= 1u << l;
    }
    return m;
  }
  bool busy() const {
    for (int l = 0; l < kLanes; l++) {
      if (chunk[l] >= 0) return true;
    }
    return false;
  }
};
