// A batch of cut chunks and their digests.
//
// Cutting a chunk needs only its bytes; digests are computed for many chunks
// at once (chunk_digest_batch runs one chunk per vector lane). A batch holds
// the chunks cut so far one after another in its arena, each taking its
// length rounded up to a multiple of 64, and the chunk being cut grows
// behind them (chunker_cut writes it at chunk_batch_cut_at). Once the batch
// is full, or its owner must act on what it holds, chunk_batch_digest gives
// the keys of all of them.
//
// Larger batches keep the 32 lanes of the digest filled for longer (they
// drain at a batch's end) and ask for more index slots at once; 256 chunks
// ran faster than 128 in the store pass (bench/chunker_bench). The arena
// always has room for one more chunk of the longest length.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/chunk_digest.h"
#include "chunk/chunker.h"
#include "common/record.h"

constexpr size_t kBatchChunks = 256;
constexpr size_t kBatchArenaSize = 256 * 1024 + kChunkBufferSize;

struct ChunkBatch {
  uint32_t count;  // chunks in the batch
  uint32_t fill;   // arena bytes they take; the chunk being cut begins here
  ChunkSpan span[kBatchChunks];                  // chunk i's bytes in the arena
  uint8_t keys[kBatchChunks * kChunkKeySize];  // after chunk_batch_digest
  alignas(64) uint8_t arena[kBatchArenaSize];
};

inline void chunk_batch_clear(ChunkBatch* b) {
  b->count = 0;
  b->fill = 0;
}

// Where the chunk being cut grows: the chunk buffer to hand chunker_cut.
inline uint8_t* chunk_batch_cut_at(ChunkBatch* b) { return b->arena + b->fill; }

// The chunk just cut at chunk_batch_cut_at, `full` bytes long, joins the
// batch. Returns its number. The batch must not be full.
inline uint32_t chunk_batch_take(ChunkBatch* b, uint32_t full) {
  const uint32_t i = b->count++;
  b->span[i] = ChunkSpan{b->arena + b->fill, full};
  b->fill += uint32_t(padded_chunk_size(full));
  return i;
}

// Whether no further chunk can be taken.
inline bool chunk_batch_full(const ChunkBatch* b) {
  return b->count == kBatchChunks || b->fill + kChunkBufferSize > kBatchArenaSize;
}

// Chunk i's bytes, writable (the padding after them is the owner's).
inline uint8_t* chunk_batch_bytes(ChunkBatch* b, size_t i) {
  return b->arena + (b->span[i].bytes - b->arena);
}

inline const uint8_t* chunk_batch_key(const ChunkBatch* b, size_t i) {
  return b->keys + i * kChunkKeySize;
}

// Computes the keys of every chunk in the batch.
inline void chunk_batch_digest(ChunkBatch* b) { chunk_digest_batch(b->span, b->count, b->keys); }

// Empties the batch; the first `cutting` bytes of the chunk being cut (its
// length so far) move to the front of the arena, so that cutting goes on.
void chunk_batch_restart(ChunkBatch* b, uint32_t cutting);
