// Stored chunks cut again one by one, then digested together.
//
// Cutting a chunk needs only its bytes; its digest is computed for many
// chunks at once (a ChunkBatch). A VerifyBatch keeps copies of the chunks
// cut so far, so the store window they came from may move on, beside the
// records they are to match, and judges them all in one go. Its owner then
// takes the results in the order the chunks were added.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/chunk_batch.h"
#include "chunk/chunker.h"
#include "client/store_window.h"
#include "common/record.h"

struct VerifyBatch {
  bool digested;  // the batch holds the digests of all of its chunks
  uint64_t index[kBatchChunks];  // the owner's number for each
  ChunkRecord rec[kBatchChunks];
  ChunkBatch chunks;
};

inline void batch_clear(VerifyBatch* b) {
  chunk_batch_clear(&b->chunks);
  b->digested = false;
}

// The chunks added.
inline size_t batch_count(const VerifyBatch* b) { return b->chunks.count; }

// Whether another chunk can be added.
inline bool batch_has_room(const VerifyBatch* b) { return !chunk_batch_full(&b->chunks); }

// Cuts the stored chunk that begins at p[0] (got bytes available, as many as
// kMaxChunkLength when the store holds them) into the batch, which must have
// room. Returns kChunkCutShort, adding nothing, when the bytes end before the
// chunk does; else kChunkMatches: the chunk is added and judged by
// batch_digest.
ChunkMatch batch_add(VerifyBatch* b, Chunker* c, const uint8_t* p, size_t got,
                     const ChunkRecord& rec, uint64_t index);

// Digests every chunk added.
void batch_digest(VerifyBatch* b);

// After batch_digest: how chunk i compares with its record (kChunkMatches or
// kChunkMismatch, as key_matches_record says).
ChunkMatch batch_match(const VerifyBatch* b, size_t i);

// Chunk i's bytes, as cut from the store (at least rec[i].real_length of
// them when it matches).
inline const uint8_t* batch_bytes(const VerifyBatch* b, size_t i) {
  return b->chunks.span[i].bytes;
}
