#include "client/verify_batch.h"

ChunkMatch batch_add(VerifyBatch* b, Chunker* c, const uint8_t* p, size_t got,
                     const ChunkRecord& rec, uint64_t index) {
  chunker_reset(c);
  bool ended = false;
  size_t full = chunker_cut(c, p, got, chunk_batch_cut_at(&b->chunks), &ended);
  chunker_next_chunk(c);
  if (!ended) return kChunkCutShort;
  size_t i = chunk_batch_take(&b->chunks, uint32_t(full));
  b->index[i] = index;
  b->rec[i] = rec;
  b->digested = false;
  return kChunkMatches;
}

void batch_digest(VerifyBatch* b) {
  chunk_batch_digest(&b->chunks);
  b->digested = true;
}

ChunkMatch batch_match(const VerifyBatch* b, size_t i) {
  return key_matches_record(chunk_batch_key(&b->chunks, i), b->chunks.span[i].length, b->rec[i]);
}
