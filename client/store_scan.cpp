#include "client/store_scan.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/record.h"

namespace {

// Digests the chunks in the batch and keeps their keys.
void digest_batch(StoreScan* s) {
  const size_t n = s->batch.count;
  if (n > 0 && !s->cut_only) {
    chunk_batch_digest(&s->batch);
    for (size_t i = 0; i < n; i++) {
      StoredKey k;
      memcpy(k.key, chunk_batch_key(&s->batch, i), kChunkKeySize);
      k.offset = s->batch_offset[i];
      s->keys.push_back(k);
    }
  }
  chunk_batch_clear(&s->batch);
}

void chunk_ended(StoreScan* s) {
  uint32_t full = s->chunker.chunk_length;
  const uint8_t* bytes = chunk_batch_cut_at(&s->batch);
  chunker_next_chunk(&s->chunker);
  s->batch_offset[chunk_batch_take(&s->batch, full)] = s->chunk_start >> kChunkAlignShift;
  s->chunks++;
  s->chunk_bytes += full;
  s->pad_left = uint32_t(padded_chunk_size(full) - full);
  s->pad_byte = bytes[full - 1];
  s->pad_bad = false;
  // The next chunk is cut after this one; there must be room for the longest.
  if (chunk_batch_full(&s->batch)) {
    digest_batch(s);
  }
}

void padding_done(StoreScan* s) {
  if (s->pad_bad) {
    if (s->bad_padding < kScanExamples) {
      s->bad_padding_at[s->bad_padding] = s->chunk_start >> kChunkAlignShift;
    }
    s->bad_padding++;
  }
  s->whole_end = s->pos;
  s->chunk_start = s->pos;
}

}  // namespace

void scan_begin(StoreScan* s, uint64_t at) {
  chunker_reset(&s->chunker);
  s->pos = s->chunk_start = s->whole_end = at;
  s->pad_left = 0;
  s->pad_byte = 0;
  s->pad_bad = false;
  s->chunks = s->chunk_bytes = s->padding_bytes = 0;
  s->bad_padding = 0;
  s->duplicates = s->duplicate_bytes = 0;
  s->duplicate_examples = 0;
  s->keys.clear();
  s->keep_keys = false;
  s->cut_only = false;
  chunk_batch_clear(&s->batch);
}

void scan_feed(StoreScan* s, const uint8_t* p, size_t n) {
  while (n > 0) {
    if (s->pad_left > 0) {
      // Padding is skipped, as the rebuild does, but checked on the way.
      size_t k = n < s->pad_left ? n : s->pad_left;
      for (size_t i = 0; i < k; i++) s->pad_bad |= p[i] != s->pad_byte;
      s->pad_left -= uint32_t(k);
      s->padding_bytes += k;
      s->pos += k;
      p += k;
      n -= k;
      if (s->pad_left == 0) padding_done(s);
      continue;
    }
    bool ended = false;
    size_t k = chunker_cut(&s->chunker, p, n, chunk_batch_cut_at(&s->batch), &ended);
    s->pos += k;
    p += k;
    n -= k;
    if (ended) {
      chunk_ended(s);
      if (s->pad_left == 0) padding_done(s);
    }
  }
}

void scan_end(StoreScan* s) {
  digest_batch(s);
  if (s->cut_only) return;
  // A caller that looks chunks up by their place gets them in the order
  // they were cut: by ChunkOffset.
  std::vector<StoredKey> by_key;
  if (s->keep_keys) by_key = s->keys;
  std::vector<StoredKey>& keys = s->keep_keys ? by_key : s->keys;
  // By key, then by offset: the first of equal keys is the copy the
  // rebuilt index keeps. The first 8 key bytes decide almost always.
  std::sort(keys.begin(), keys.end(), [](const StoredKey& a, const StoredKey& b) {
    const uint64_t x = load_be64(a.key), y = load_be64(b.key);
    if (x != y) return x < y;
    int c = memcmp(a.key + 8, b.key + 8, kChunkKeySize - 8);
    return c != 0 ? c < 0 : a.offset < b.offset;
  });
  size_t first = 0;
  for (size_t i = 1; i < keys.size(); i++) {
    if (memcmp(keys[i].key, keys[first].key, kChunkKeySize) != 0) {
      first = i;
      continue;
    }
    s->duplicates++;
    s->duplicate_bytes += padded_chunk_size(load_le16(keys[i].key + kChunkDigestSize));
    if (s->duplicate_examples < kScanExamples) {
      s->duplicate_at[s->duplicate_examples++] = DuplicatePair{keys[first].offset, keys[i].offset};
    }
  }
  std::vector<StoredKey>().swap(keys);
}
