#include "client/store_window.h"

#include <cstring>

#include "chunk/chunk_digest.h"
#include "common/store_format.h"

namespace {

// What a jump to another part of the store reads: enough for one chunk and
// some that follow it, without reading megabytes for every stray record.
constexpr size_t kJumpReadSize = 256 << 10;

// The chunk has been cut into chunk_buf with chunker_cut; its digest is
// computed from those bytes.
ChunkMatch compare_key(Chunker* c, uint32_t full, const uint8_t* chunk_buf, const ChunkRecord& rec) {
  uint8_t key[kChunkKeySize];
  chunk_digest_one(chunk_buf, full, key);
  chunker_next_chunk(c);
  return key_matches_record(key, full, rec);
}

}  // namespace

bool window_open(StoreWindow* w, PlatFile file, uint8_t* buf) {
  *w = StoreWindow{file, 0, 0, 0, 0, buf};
  if (plat_file_seek(file, 0, kSeekEnd, &w->size) != 0) {
    w->error = plat_file_last_error();
    return false;
  }
  return true;
}

const uint8_t* window_view(StoreWindow* w, uint64_t pos, size_t want, size_t* got) {
  uint64_t left = w->size - pos;
  size_t n = left < want ? size_t(left) : want;
  if (pos < w->start || pos + n > w->start + w->held) {
    // Reading on from the window's end reads a whole window; a jump reads less.
    bool onward = pos >= w->start && pos <= w->start + w->held;
    size_t fill = onward ? kStoreWindowSize : kJumpReadSize;
    if (left < fill) fill = size_t(left);
    w->start = pos;
    w->held = 0;
    if (plat_file_seek(w->file, int64_t(pos), kSeekBegin, nullptr) != 0) {
      w->error = plat_file_last_error();
      return nullptr;
    }
    long r = plat_file_read_full(w->file, w->buf, fill);
    if (r < 0) {
      w->error = plat_file_last_error();
      return nullptr;
    }
    w->held = size_t(r);
    if (w->held < n) n = w->held;  // the store shrank under us
  }
  *got = n;
  return w->buf + (pos - w->start);
}

ChunkMatch real_bytes_match(Chunker* c, const uint8_t* p, size_t n, uint8_t before_first,
                            uint8_t* chunk_buf, const ChunkRecord& rec) {
  chunker_reset(c);
  bool ended = false;
  size_t used = n > 0 ? chunker_cut(c, p, n, chunk_buf, &ended) : 0;
  // A chunk that ends before its last real byte is not this record's chunk.
  if (used < n) return kChunkMismatch;
  if (n == 0) c->last_byte = before_first;
  while (!ended) {
    uint8_t f = chunker_filler_byte(c);
    (void)chunker_cut(c, &f, 1, chunk_buf, &ended);
  }
  return compare_key(c, c->chunk_length, chunk_buf, rec);
}

bool window_holds_store(StoreWindow* w) {
  if (w->size == 0) return true;
  if (w->size < kStoreHeaderSize) return false;
  size_t got = 0;
  const uint8_t* p = window_view(w, 0, kStoreHeaderSize, &got);
  return p != nullptr && store_header_ok(p, got);
}
