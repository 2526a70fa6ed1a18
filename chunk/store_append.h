// The append rule of the store, shared by the server's store pass and by
// chunkcopy, so that a copied store is byte for byte what a server writes:
// the header first, each new chunk at the next multiple of 64 with the
// index offered its ChunkOffset, no new chunk at or beyond 2^46 bytes, and
// the padding made of copies of the chunk's last byte.
#pragma once
#include <cstdint>

#include "chunk/chunk_index.h"
#include "common/store_format.h"

enum StorePlace : int {
  kPlaceKnown = 0,  // the index holds the chunk: *offset is where
  kPlaceNew = 1,    // entered at *offset (at / 64): the caller appends it at `at`
  kPlaceFull = 2,   // unknown, and `at` is beyond 40-bit ChunkOffsets: not stored
};

// Looks the chunk up when the next new chunk would go at file position
// `at`. Past the limit the index is only asked (candidate 0), so known
// chunks are still answered.
inline StorePlace store_place_chunk(IndexContext* index, const uint8_t* key, uint64_t at,
                                    uint64_t* offset) {
  const uint64_t candidate = at < kStoreOffsetLimit ? at >> kChunkAlignShift : 0;
  if (ChunkIndex::lookup_or_insert(index, key, candidate)) {
    *offset = index->found_offset;
    return kPlaceKnown;
  }
  *offset = candidate;
  return candidate != 0 ? kPlaceNew : kPlaceFull;
}
