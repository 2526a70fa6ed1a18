// Stored chunks cut again one by one, then digested together.
//
// Cutting a chunk needs only its bytes; its digest is computed for many
// chunks at once (chunk_digest_batch runs one chunk per vector lane). A
// VerifyBatch keeps copies of the chunks cut so far, so the store window they
// came from may move on, and judges them all in one go. Its owner then takes
// the results in the order the chunks were added.
#pragma once
#include <cstddef>
#include <cstdint>

#include "client/store_window.h"
#include "common/record.h"
#include "server/chunk_digest.h"
#include "server/chunker.h"

constexpr size_t kVerifyBatchChunks = 128;
constexpr size_t kVerifyArenaSize = (1 << 20) + kChunkBufferSize;

struct VerifyBatch {
  size_t count;   // chunks added
  size_t fill;    // arena bytes they take, each rounded up to 64
  bool digested;  // keys[] hold the digests of all of them
  uint64_t index[kVerifyBatchChunks];  // the owner's number for each
  ChunkRecord rec[kVerifyBatchChunks];
  ChunkSpan span[kVerifyBatchChunks];
  uint8_t keys[kVerifyBatchChunks * kChunkKeySize];
  alignas(64) uint8_t arena[kVerifyArenaSize];
};

inline void batch_clear(VerifyBatch* b) {
  b->count = 0;
  b->fill = 0;
  b->digested = false;
}

// Whether another chunk can be added.
inline bool batch_has_room(const VerifyBatch* b) {
  return b->count < kVerifyBatchChunks && b->fill + kChunkBufferSize <= kVerifyArenaSize;
}

// Cuts the stored chunk that begins at p[0] (got bytes available, as for
// stored_chunk_matches) into the batch, which must have room. Returns
// kChunkCutShort, adding nothing, when the bytes end before the chunk does;
// else kChunkMatches: the chunk is added and judged by batch_digest.
ChunkMatch batch_add(VerifyBatch* b, Chunker* c, const uint8_t* p, size_t got,
                     const ChunkRecord& rec, uint64_t index);

// Digests every chunk added.
void batch_digest(VerifyBatch* b);

// After batch_digest: how chunk i compares with its record (kChunkMatches or
// kChunkMismatch, exactly as stored_chunk_matches would say).
ChunkMatch batch_match(const VerifyBatch* b, size_t i);

// Chunk i's bytes, as cut from the store (at least rec[i].real_length of
// them when it matches).
inline const uint8_t* batch_bytes(const VerifyBatch* b, size_t i) { return b->span[i].bytes; }
