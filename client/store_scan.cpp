#include "client/store_scan.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace {

// Digests the chunks in the batch and keeps their keys.
void take_batch(StoreScan* s) {
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
  walk_batch_taken(s);
}

}  // namespace

void scan_begin(StoreScan* s, uint64_t at) {
  walk_begin(s, at);
  s->duplicates = s->duplicate_bytes = 0;
  s->duplicate_examples = 0;
  s->keys.clear();
  s->keep_keys = false;
  s->cut_only = false;
}

void scan_feed(StoreScan* s, const uint8_t* p, size_t n) {
  for (;;) {
    const size_t k = walk_feed(s, p, n);
    p += k;
    n -= k;
    if (n == 0) break;
    take_batch(s);
  }
}

void scan_end(StoreScan* s) {
  take_batch(s);
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
