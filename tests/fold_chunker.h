// The chunk-at-a-time chunker: the rolling cut of the scalar width with each
// consumed byte folded into the digest as it goes, so that a chunk's key is
// ready the moment it ends. The passes cut first and digest many chunks at
// once (chunk_batch.h); this is how the digest is defined byte by byte, kept
// for the tests that check the cut and the fold step by step and for the
// benchmark's chunk-at-a-time figure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chunk/chunk_digest.h"
#include "chunk/chunker.h"
#include "common/bytes.h"

struct FoldChunker : Chunker {
  // Bytes 0..62 fold area, byte 63 the fold count (0..63). Compression reads
  // the block as sixteen LE words, so the count takes part in it.
  uint8_t fold[64];
  uint64_t compressions;  // MD5 compressions run since reset
};

// Start of a pass: the chunker's reset, and an empty fold block.
inline void chunker_reset(FoldChunker* c) {
  chunker_reset(static_cast<Chunker*>(c));
  memset(c->fold, 0, sizeof c->fold);
  c->compressions = 0;
}

// A new chunk as if a pass began here, with an empty fold block.
inline void chunker_restart(FoldChunker* c) {
  chunker_reset(static_cast<Chunker*>(c));
  memset(c->fold, 0, sizeof c->fold);
}

// XORs src[0..n) into dst[0..n); n <= 63. Eight bytes at a time.
inline void xor_run(uint8_t* dst, const uint8_t* src, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) store_le64(dst + i, load_le64(dst + i) ^ load_le64(src + i));
  for (; i < n; i++) dst[i] ^= src[i];
}

// Folds p[0..n) into the block: each byte goes to the position named by the
// fold count; a full fold area (count 63) is compressed just before the next
// byte arrives, never eagerly, so a chunk can end with count 63.
inline void fold_span(FoldChunker* c, const uint8_t* p, size_t n) {
  uint32_t count = c->fold[63];
  while (n > 0) {
    if (count == 63) {
      c->fold[63] = 63;  // the count as the compression must see it
      fold_compress(c->fold);
      c->compressions++;
      count = 0;
    }
    size_t run = 63 - count;
    if (run > n) run = n;
    xor_run(c->fold + count, p, run);
    count += uint32_t(run);
    p += run;
    n -= run;
  }
  c->fold[63] = uint8_t(count);
}

// chunker_cut_rolling, folding the consumed bytes as they go; after a chunk
// ended, chunker_finish gives its key.
inline size_t chunker_scan(FoldChunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf,
                           bool* ended) {
  const size_t k = chunker_cut_rolling(c, p, n, chunk_buf, ended);
  fold_span(c, p, k);
  return k;
}

// After a chunk ended: runs the final compression, writes the 16-byte
// ChunkKey (14 digest bytes + full length LE16) to key, clears the fold block
// and chunk_length. The rolling window runs on.
inline void chunker_finish(FoldChunker* c, uint8_t* key) {
  fold_compress(c->fold);
  c->compressions++;
  memcpy(key, c->fold, kChunkDigestSize);
  store_le16(key + kChunkDigestSize, uint16_t(c->chunk_length));
  memset(c->fold, 0, sizeof c->fold);
  chunker_next_chunk(c);
}
