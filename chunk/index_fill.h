// How full the ChunkIndex is, and when to say so.
//
// Each key lives in a window of 16 slots from its home slot; once windows
// fill up, a new key evicts an older one and that chunk is stored again the
// next time it comes. bench/index_fill_bench measures the share of keys lost
// that way against the share of the 2^25 slots in use (random keys, the
// server's own index code): up to 40% of the slots it loses at most 3 keys in
// 100,000; at 50% about 1 in 3,000, and from there the loss about doubles
// with every further 5% (0.2% at 60%, 1.3% at 75%, 4.6% at 90%). chunkcheck
// and the server warn past 50% (docs/guide.md, "How full the index is").
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/chunk_index.h"

// The share of the slots (in percent) past which deduplication measurably
// degrades.
constexpr uint32_t kIndexFillWarnPercent = 50;

// The number of distinct chunks at which the warning starts.
constexpr uint64_t kIndexFillWarnChunks = uint64_t(kIndexSlots) * kIndexFillWarnPercent / 100;

// Whether an index holding this many distinct chunks is past that point.
inline bool index_fill_warns(uint64_t chunks) { return chunks > kIndexFillWarnChunks; }

// The share of the slots that many chunks take, in percent.
inline double index_fill_percent(uint64_t chunks) {
  return 100.0 * double(chunks) / double(kIndexSlots);
}

// Whether a store file of this size can hold enough chunks to be past the
// point at all: every stored chunk takes at least 128 bytes (100 bytes
// padded to 64). Smaller stores need no count.
inline bool index_fill_possible(uint64_t store_bytes) {
  constexpr uint64_t kMinStoredChunk = 128;
  return store_bytes >= 64 + kIndexFillWarnChunks * kMinStoredChunk;
}

// The occupied slots of a table (its entries).
uint64_t index_count_entries(const uint8_t* table);

// What the server counts once its index is rebuilt from a store of
// store_bytes: the entries of the table, or 0 without counting when a store
// that size cannot be past the point (counting reads the whole table).
inline uint64_t index_fill_at_start(uint64_t store_bytes, const uint8_t* table) {
  return index_fill_possible(store_bytes) ? index_count_entries(table) : 0;
}

// Writes the warning, without the program's name, into buf: the chunks, the
// share and what to do. Returns buf.
const char* index_fill_warning(char* buf, size_t cap, uint64_t chunks);
