#include "client/verify_batch.h"

#include <cstring>

ChunkMatch batch_add(VerifyBatch* b, Chunker* c, const uint8_t* p, size_t got,
                     const ChunkRecord& rec, uint64_t index) {
  uint8_t* dst = b->arena + b->fill;
  chunker_restart(c);
  bool ended = false;
  size_t full = chunker_cut(c, p, got, dst, &ended);
  chunker_next_chunk(c);
  if (!ended) return kChunkCutShort;
  size_t i = b->count++;
  b->index[i] = index;
  b->rec[i] = rec;
  b->span[i] = ChunkSpan{dst, uint32_t(full)};
  b->fill += padded_chunk_size(uint32_t(full));
  b->digested = false;
  return kChunkMatches;
}

void batch_digest(VerifyBatch* b) {
  chunk_digest_batch(b->span, b->count, b->keys);
  b->digested = true;
}

ChunkMatch batch_match(const VerifyBatch* b, size_t i) {
  const ChunkRecord& rec = b->rec[i];
  if (memcmp(b->keys + i * kChunkKeySize, rec.digest, kRecDigestSize) != 0 ||
      b->span[i].length < rec.real_length) {
    return kChunkMismatch;
  }
  return kChunkMatches;
}
