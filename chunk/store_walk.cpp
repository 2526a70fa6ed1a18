#include "chunk/store_walk.h"

namespace {

void padding_done(StoreWalk* w) {
  if (w->pad_bad) {
    if (w->bad_padding < kWalkExamples) {
      w->bad_padding_at[w->bad_padding] = w->chunk_start >> kChunkAlignShift;
    }
    w->bad_padding++;
  }
  w->whole_end = w->pos;
  w->chunk_start = w->pos;
}

void chunk_ended(StoreWalk* w) {
  const uint32_t full = w->chunker.chunk_length;
  const uint8_t* bytes = chunk_batch_cut_at(&w->batch);
  chunker_next_chunk(&w->chunker);
  w->batch_offset[chunk_batch_take(&w->batch, full)] = w->chunk_start >> kChunkAlignShift;
  w->last_full = full;
  w->chunks++;
  w->chunk_bytes += full;
  w->pad_left = uint32_t(padded_chunk_size(full) - full);
  w->pad_byte = bytes[full - 1];
  w->pad_bad = false;
  if (w->pad_left == 0) padding_done(w);
}

// Zeros that complete a torn last chunk.
const uint8_t kZeros[4096] = {};

}  // namespace

void walk_begin(StoreWalk* w, uint64_t at, bool check_padding) {
  w->check_padding = check_padding;
  chunker_reset(&w->chunker);
  w->pos = w->chunk_start = w->whole_end = at;
  w->last_full = 0;
  w->pad_left = 0;
  w->pad_byte = 0;
  w->pad_bad = false;
  w->chunks = w->chunk_bytes = w->padding_bytes = 0;
  w->bad_padding = 0;
  chunk_batch_clear(&w->batch);
}

size_t walk_feed(StoreWalk* w, const uint8_t* p, size_t n) {
  const size_t given = n;
  while (n > 0) {
    if (w->pad_left > 0) {
      // Padding is skipped, as the rebuild does, but checked on the way.
      size_t k = n < w->pad_left ? n : w->pad_left;
      if (w->check_padding) {
        uint8_t diff = 0;
        for (size_t i = 0; i < k; i++) diff |= uint8_t(p[i] ^ w->pad_byte);
        w->pad_bad |= diff != 0;
      }
      w->pad_left -= uint32_t(k);
      w->padding_bytes += k;
      w->pos += k;
      p += k;
      n -= k;
      if (w->pad_left == 0) padding_done(w);
      continue;
    }
    // The next chunk is cut after this one; there must be room for the longest.
    if (walk_batch_full(w)) break;
    bool ended = false;
    size_t k = chunker_cut(&w->chunker, p, n, chunk_batch_cut_at(&w->batch), &ended);
    w->pos += k;
    p += k;
    n -= k;
    if (ended) chunk_ended(w);
  }
  return given - n;
}

StoreTail walk_end(StoreWalk* w) {
  if (w->chunker.chunk_length > 0) {
    bool ended = false;
    while (!ended) {
      (void)chunker_cut(&w->chunker, kZeros, sizeof kZeros, chunk_batch_cut_at(&w->batch), &ended);
    }
    const uint64_t after = w->chunk_start + padded_chunk_size(w->chunker.chunk_length);
    chunker_next_chunk(&w->chunker);
    return StoreTail{after, 0};
  }
  if (w->pad_left > 0) {
    return StoreTail{w->chunk_start + padded_chunk_size(w->last_full), w->pad_byte,
                     w->chunk_start + w->last_full};
  }
  return StoreTail{0, 0};
}
