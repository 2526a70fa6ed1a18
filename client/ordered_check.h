// Stored chunks checked against their records in list order, while their
// digests are computed many at a time: a chunk cut from the store waits in
// a VerifyBatch, and settling the batch hands its chunks out in the order
// they were added, each with its verdict, as if each had been checked on
// its own. A tool settles before it reports anything about a later record
// (a fault, a literal chunk, the end of the list), so what it writes and
// the first fault it names are those of checking record by record.
#pragma once
#include <cstddef>
#include <cstdint>

#include "client/verify_batch.h"
#include "common/record.h"

// Digests the chunks waiting in the batch and hands each, in order, to
// on_chunk(index, rec, bytes, matches), which returns false to stop there:
// the chunks after it are dropped unlooked at. The batch is empty before
// the first call, so a settle from inside on_chunk finds nothing. Returns
// false when on_chunk stopped it.
template <class OnChunk>
bool ordered_settle(VerifyBatch* b, OnChunk&& on_chunk) {
  if (b->count == 0) return true;
  batch_digest(b);
  const size_t n = b->count;
  batch_clear(b);  // the chunks' bytes, records and keys stay until the next add
  for (size_t i = 0; i < n; i++) {
    if (!on_chunk(b->index[i], b->rec[i], batch_bytes(b, i), batch_match(b, i) == kChunkMatches)) {
      return false;
    }
  }
  return true;
}

enum OrderedTake : int {
  kTakeWaiting = 0,   // the chunk waits in the batch (or was settled with it)
  kTakeCutShort = 1,  // the bytes end before the chunk does; nothing added
  kTakeStopped = 2,   // the batch was full and on_chunk stopped its settle
};

// Cuts the stored chunk that begins at p[0] (got bytes available) for
// record `index` into the batch, and settles the batch once it is full.
template <class OnChunk>
OrderedTake ordered_take(VerifyBatch* b, Chunker* c, const uint8_t* p, size_t got,
                         const ChunkRecord& rec, uint64_t index, OnChunk&& on_chunk) {
  if (batch_add(b, c, p, got, rec, index) == kChunkCutShort) return kTakeCutShort;
  if (batch_has_room(b)) return kTakeWaiting;
  return ordered_settle(b, on_chunk) ? kTakeWaiting : kTakeStopped;
}
