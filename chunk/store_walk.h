// The one walk of the store layout: the stored chunks cut again from byte
// 64 on, each followed by its padding up to a multiple of 64, exactly as
// the server reads the store at start-up. The server's rebuild enters what
// it finds into the index; chunkcheck and the mirrors count and verify it.
//
// The walk takes the store's bytes in spans of any size (walk_feed). It
// stops right after a chunk when its batch is full: the caller digests the
// batch (chunk_batch_digest), takes the keys and offsets, calls
// walk_batch_taken and feeds the rest.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/chunk_batch.h"
#include "chunk/chunker.h"
#include "common/store_format.h"

constexpr unsigned kWalkExamples = 10;  // ChunkOffsets kept of chunks with bad padding

struct StoreWalk {
  Chunker chunker;
  uint64_t pos;          // file position of the next byte fed
  uint64_t chunk_start;  // file position of the chunk being cut
  uint64_t whole_end;    // file position after the last chunk with all its padding
  uint32_t last_full;    // full length of the chunk cut last
  uint32_t pad_left;     // padding bytes of the last chunk still to come
  uint8_t pad_byte;      // what they must be: the chunk's last byte
  bool pad_bad;          // a padding byte of the last chunk differed
  bool check_padding;    // whether padding bytes are compared (the rebuild skips them)

  uint64_t chunks;
  uint64_t chunk_bytes;       // full lengths, filler included
  uint64_t padding_bytes;
  uint64_t bad_padding;       // chunks whose padding is not all copies
  uint64_t bad_padding_at[kWalkExamples];

  uint64_t batch_offset[kBatchChunks];  // ChunkOffset of each chunk in the batch
  ChunkBatch batch;
};

// Starts a walk at file position `at` (64, just after the header). Padding
// that is not copies of its chunk's last byte is counted only with
// check_padding: the rebuild, which only skips it, goes faster without.
void walk_begin(StoreWalk* w, uint64_t at, bool check_padding = true);

// Takes bytes of p[0..n) and returns how many: fewer when the batch filled
// up (walk_batch_full), right after the chunk that filled it.
size_t walk_feed(StoreWalk* w, const uint8_t* p, size_t n);

inline bool walk_batch_full(const StoreWalk* w) { return chunk_batch_full(&w->batch); }

// The caller has taken the chunks of the batch: it empties, and the chunk
// being cut goes on at its front.
inline void walk_batch_taken(StoreWalk* w) {
  chunk_batch_restart(&w->batch, w->chunker.chunk_length);
}

// Whether the bytes fed so far end at the end of a padded chunk.
inline bool walk_at_boundary(const StoreWalk* w) {
  return w->chunker.chunk_length == 0 && w->pad_left == 0;
}

// After the last byte, once the batch was taken: how the store ends, for
// the appends after it (StoreTail). A store that ends inside a chunk has
// that chunk completed with zeros (it is entered nowhere): the next chunk
// must go after it and its padding, so that later walks meet it in step. A
// store that ends inside a chunk's padding gets the padding completed.
StoreTail walk_end(StoreWalk* w);
