// A byte-at-a-time model of the chunker, written from the definitions with
// no shortcut: the window CRC recomputed from scratch at every byte, the fold
// block filled one byte at a time. Tests compare every fast path with it.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "chunk/chunker.h"
#include "chunk/md5.h"
#include "common/bytes.h"

namespace chunk_model {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, kChunkKeySize>;

// Standard reflected CRC-32 (zlib, PNG), table built bit by bit.
struct Crc32 {
  uint32_t table[256];
  Crc32() {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      table[i] = c;
    }
  }
  uint32_t of(const uint8_t* p, size_t n) const {
    uint32_t r = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) r = (r >> 8) ^ table[(r ^ p[i]) & 0xFF];
    return r ^ 0xFFFFFFFFu;
  }
};
inline const Crc32 kCrc;

// CRC-32 of the 12-byte window that ends at d[end - 1].
inline uint32_t window_crc(const uint8_t* d, size_t end) { return kCrc.of(d + end - 12, 12); }

inline void model_compress(uint8_t block[64]) {
  uint32_t h[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
  md5_compress(h, block);
  for (int i = 0; i < 4; i++) store_le32(block + 4 * i, load_le32(block + 4 * i) ^ h[i]);
  block[63] = 0;
}

// The key of one chunk from its bytes alone, folded one byte at a time.
inline Key model_key(const uint8_t* p, size_t n) {
  uint8_t block[64] = {0};
  for (size_t i = 0; i < n; i++) {
    if (block[63] == 63) model_compress(block);
    block[block[63]] ^= p[i];
    block[63]++;
  }
  model_compress(block);
  Key k;
  memcpy(k.data(), block, 14);
  store_le16(k.data() + 14, uint16_t(n));
  return k;
}

struct Cut {
  Key key{};  // set once the chunk is digested
  uint32_t full = 0;
  uint32_t real = 0;
  Bytes bytes;  // the chunk's bytes, filler included
};

// One pass over data with filler after its end: a window of the last 12
// bytes (zeros before the first), recomputed from scratch at every byte.
inline std::vector<Cut> model_cut(const Bytes& data) {
  std::vector<Cut> cuts;
  uint8_t window[12] = {0};
  uint8_t block[64] = {0};
  Bytes chunk;
  uint8_t last = 0;
  uint32_t filler = 0;
  for (size_t i = 0;; i++) {
    uint8_t x;
    if (i < data.size()) {
      x = data[i];
    } else {
      x = uint8_t(last + 1);
      filler++;
    }
    last = x;
    memmove(window, window + 1, 11);
    window[11] = x;
    uint32_t value = kCrc.of(window, 12);
    if (block[63] == 63) model_compress(block);
    block[block[63]] ^= x;
    block[63]++;
    chunk.push_back(x);
    uint32_t len = uint32_t(chunk.size());
    if (len >= 100 && (value < 27356479u || len >= 65535)) {
      model_compress(block);
      Cut c;
      memcpy(c.key.data(), block, 14);
      store_le16(c.key.data() + 14, uint16_t(len));
      c.full = len;
      c.real = len - filler;
      c.bytes = chunk;
      cuts.push_back(c);
      memset(block, 0, sizeof block);
      chunk.clear();
      if (filler > 0) return cuts;
    }
  }
}

}  // namespace chunk_model
