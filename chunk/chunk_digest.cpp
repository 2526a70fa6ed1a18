#include "chunk/chunk_digest.h"

#include <cstring>

#include "chunk/chunker.h"
#include "chunk/digest_lanes.h"
#include "chunk/md5.h"
#include "chunk/simd_width.h"
#include "common/bytes.h"

void fold_compress(uint8_t block[64]) {
  uint32_t h[4] = {kMd5Init[0], kMd5Init[1], kMd5Init[2], kMd5Init[3]};
  md5_compress(h, block);
  for (int i = 0; i < 4; i++) store_le32(block + 4 * i, load_le32(block + 4 * i) ^ h[i]);
  block[63] = 0;
}

void chunk_digest_one(const uint8_t* p, uint32_t length, uint8_t* key) {
  uint8_t block[64] = {0};
  uint32_t left = length;
  do {
    uint32_t run = left < 63 ? left : 63;
    uint32_t i = 0;
    for (; i + 8 <= run; i += 8) store_le64(block + i, load_le64(block + i) ^ load_le64(p + i));
    for (; i < run; i++) block[i] ^= p[i];
    block[63] = uint8_t(run);
    fold_compress(block);
    p += run;
    left -= run;
  } while (left > 0);
  memcpy(key, block, kChunkDigestSize);
  store_le16(key + kChunkDigestSize, uint16_t(length));
}

void chunk_digest_batch(const ChunkSpan* chunks, size_t n, uint8_t* keys) {
#if CHUNK_SIMD_LANES
  // A lane pays for its bookkeeping on every step; with only a few chunks
  // the scalar path is as quick.
  SimdWidth w = n >= 4 ? simd_width() : kSimdScalar;
  if (w != kSimdScalar) {
    for (size_t at = 0; at < n; at += kMaxLaneBatch) {
      const size_t m = n - at < kMaxLaneBatch ? n - at : kMaxLaneBatch;
      if (w == kSimdAvx2) {
        digest_avx2(chunks + at, m, keys + at * kChunkKeySize);
      } else {
        digest_avx512(chunks + at, m, keys + at * kChunkKeySize);
      }
    }
    return;
  }
#endif
  for (size_t i = 0; i < n; i++) {
    chunk_digest_one(chunks[i].bytes, chunks[i].length, keys + i * kChunkKeySize);
  }
}
