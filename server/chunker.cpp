#include "server/chunker.h"

#include <cstring>

#include "common/bytes.h"
#include "platform/plat.h"
#include "server/boundary_scan.h"
#include "server/simd_width.h"

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320;  // reflected CRC-32
constexpr uint32_t kMd5Init[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

// The window CRC matters from the 89th chunk byte (index 88) on: the first
// tested window, ending at the 100th byte, begins there.
constexpr uint32_t kWindowStartIndex = kMinChunkLength - kWindowLength;  // 88

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// One MD5 step; f is the round function's value for this step.
#define MD5_STEP(a, b, f, x, t, s) (a) = (b) + rotl((a) + (f) + (x) + (t), (s))
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_G(b, c, d) ((c) ^ ((d) & ((b) ^ (c))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

// XORs src[0..n) into dst[0..n); n <= 63. Eight bytes at a time.
inline void xor_run(uint8_t* dst, const uint8_t* src, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t a, b;
    memcpy(&a, dst + i, 8);
    memcpy(&b, src + i, 8);
    a ^= b;
    memcpy(dst + i, &a, 8);
  }
  for (; i < n; i++) dst[i] ^= src[i];
}

// Folds p[0..n) into the block: each byte goes to the position named by the
// fold count; a full fold area (count 63) is compressed just before the next
// byte arrives, never eagerly, so a chunk can end with count 63.
inline void fold_span(Chunker* c, const uint8_t* p, size_t n) {
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

}  // namespace

void md5_compress(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++) x[i] = load_le32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  MD5_STEP(a, b, MD5_F(b, c, d), x[0], 0xd76aa478, 7);
  MD5_STEP(d, a, MD5_F(a, b, c), x[1], 0xe8c7b756, 12);
  MD5_STEP(c, d, MD5_F(d, a, b), x[2], 0x242070db, 17);
  MD5_STEP(b, c, MD5_F(c, d, a), x[3], 0xc1bdceee, 22);
  MD5_STEP(a, b, MD5_F(b, c, d), x[4], 0xf57c0faf, 7);
  MD5_STEP(d, a, MD5_F(a, b, c), x[5], 0x4787c62a, 12);
  MD5_STEP(c, d, MD5_F(d, a, b), x[6], 0xa8304613, 17);
  MD5_STEP(b, c, MD5_F(c, d, a), x[7], 0xfd469501, 22);
  MD5_STEP(a, b, MD5_F(b, c, d), x[8], 0x698098d8, 7);
  MD5_STEP(d, a, MD5_F(a, b, c), x[9], 0x8b44f7af, 12);
  MD5_STEP(c, d, MD5_F(d, a, b), x[10], 0xffff5bb1, 17);
  MD5_STEP(b, c, MD5_F(c, d, a), x[11], 0x895cd7be, 22);
  MD5_STEP(a, b, MD5_F(b, c, d), x[12], 0x6b901122, 7);
  MD5_STEP(d, a, MD5_F(a, b, c), x[13], 0xfd987193, 12);
  MD5_STEP(c, d, MD5_F(d, a, b), x[14], 0xa679438e, 17);
  MD5_STEP(b, c, MD5_F(c, d, a), x[15], 0x49b40821, 22);

  MD5_STEP(a, b, MD5_G(b, c, d), x[1], 0xf61e2562, 5);
  MD5_STEP(d, a, MD5_G(a, b, c), x[6], 0xc040b340, 9);
  MD5_STEP(c, d, MD5_G(d, a, b), x[11], 0x265e5a51, 14);
  MD5_STEP(b, c, MD5_G(c, d, a), x[0], 0xe9b6c7aa, 20);
  MD5_STEP(a, b, MD5_G(b, c, d), x[5], 0xd62f105d, 5);
  MD5_STEP(d, a, MD5_G(a, b, c), x[10], 0x02441453, 9);
  MD5_STEP(c, d, MD5_G(d, a, b), x[15], 0xd8a1e681, 14);
  MD5_STEP(b, c, MD5_G(c, d, a), x[4], 0xe7d3fbc8, 20);
  MD5_STEP(a, b, MD5_G(b, c, d), x[9], 0x21e1cde6, 5);
  MD5_STEP(d, a, MD5_G(a, b, c), x[14], 0xc33707d6, 9);
  MD5_STEP(c, d, MD5_G(d, a, b), x[3], 0xf4d50d87, 14);
  MD5_STEP(b, c, MD5_G(c, d, a), x[8], 0x455a14ed, 20);
  MD5_STEP(a, b, MD5_G(b, c, d), x[13], 0xa9e3e905, 5);
  MD5_STEP(d, a, MD5_G(a, b, c), x[2], 0xfcefa3f8, 9);
  MD5_STEP(c, d, MD5_G(d, a, b), x[7], 0x676f02d9, 14);
  MD5_STEP(b, c, MD5_G(c, d, a), x[12], 0x8d2a4c8a, 20);

  MD5_STEP(a, b, MD5_H(b, c, d), x[5], 0xfffa3942, 4);
  MD5_STEP(d, a, MD5_H(a, b, c), x[8], 0x8771f681, 11);
  MD5_STEP(c, d, MD5_H(d, a, b), x[11], 0x6d9d6122, 16);
  MD5_STEP(b, c, MD5_H(c, d, a), x[14], 0xfde5380c, 23);
  MD5_STEP(a, b, MD5_H(b, c, d), x[1], 0xa4beea44, 4);
  MD5_STEP(d, a, MD5_H(a, b, c), x[4], 0x4bdecfa9, 11);
  MD5_STEP(c, d, MD5_H(d, a, b), x[7], 0xf6bb4b60, 16);
  MD5_STEP(b, c, MD5_H(c, d, a), x[10], 0xbebfbc70, 23);
  MD5_STEP(a, b, MD5_H(b, c, d), x[13], 0x289b7ec6, 4);
  MD5_STEP(d, a, MD5_H(a, b, c), x[0], 0xeaa127fa, 11);
  MD5_STEP(c, d, MD5_H(d, a, b), x[3], 0xd4ef3085, 16);
  MD5_STEP(b, c, MD5_H(c, d, a), x[6], 0x04881d05, 23);
  MD5_STEP(a, b, MD5_H(b, c, d), x[9], 0xd9d4d039, 4);
  MD5_STEP(d, a, MD5_H(a, b, c), x[12], 0xe6db99e5, 11);
  MD5_STEP(c, d, MD5_H(d, a, b), x[15], 0x1fa27cf8, 16);
  MD5_STEP(b, c, MD5_H(c, d, a), x[2], 0xc4ac5665, 23);

  MD5_STEP(a, b, MD5_I(b, c, d), x[0], 0xf4292244, 6);
  MD5_STEP(d, a, MD5_I(a, b, c), x[7], 0x432aff97, 10);
  MD5_STEP(c, d, MD5_I(d, a, b), x[14], 0xab9423a7, 15);
  MD5_STEP(b, c, MD5_I(c, d, a), x[5], 0xfc93a039, 21);
  MD5_STEP(a, b, MD5_I(b, c, d), x[12], 0x655b59c3, 6);
  MD5_STEP(d, a, MD5_I(a, b, c), x[3], 0x8f0ccc92, 10);
  MD5_STEP(c, d, MD5_I(d, a, b), x[10], 0xffeff47d, 15);
  MD5_STEP(b, c, MD5_I(c, d, a), x[1], 0x85845dd1, 21);
  MD5_STEP(a, b, MD5_I(b, c, d), x[8], 0x6fa87e4f, 6);
  MD5_STEP(d, a, MD5_I(a, b, c), x[15], 0xfe2ce6e0, 10);
  MD5_STEP(c, d, MD5_I(d, a, b), x[6], 0xa3014314, 15);
  MD5_STEP(b, c, MD5_I(c, d, a), x[13], 0x4e0811a1, 21);
  MD5_STEP(a, b, MD5_I(b, c, d), x[4], 0xf7537e82, 6);
  MD5_STEP(d, a, MD5_I(a, b, c), x[11], 0xbd3af235, 10);
  MD5_STEP(c, d, MD5_I(d, a, b), x[2], 0x2ad7d2bb, 15);
  MD5_STEP(b, c, MD5_I(c, d, a), x[9], 0xeb86d391, 21);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void fold_compress(uint8_t block[64]) {
  uint32_t h[4] = {kMd5Init[0], kMd5Init[1], kMd5Init[2], kMd5Init[3]};
  md5_compress(h, block);
  for (int i = 0; i < 4; i++) store_le32(block + 4 * i, load_le32(block + 4 * i) ^ h[i]);
  block[63] = 0;
}

void chunker_reset(Chunker* c) {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t v = i;
    for (int k = 0; k < 8; k++) v = (v & 1) ? (v >> 1) ^ kCrcPolynomial : v >> 1;
    c->forward[i ^ 0xFF] = v ^ 0xFF000000;
    c->crc_table[i] = v;
  }
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t t = c->crc_table[i];
    c->crc_table2[i] = (t >> 8) ^ c->crc_table[t & 0xFF];
  }
  c->window_length = kWindowLength;
  uint32_t v = 0;
  for (uint32_t k = 0; k < c->window_length; k++) v = (v >> 8) ^ c->forward[v & 0xFF];
  c->start_value = v;
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t r = c->forward[b];
    for (uint32_t k = 0; k < c->window_length; k++) r = (r >> 8) ^ c->forward[r & 0xFF];
    c->removal[b] = r ^ c->start_value;
  }
  c->value = c->start_value;
  memset(c->fold, 0, sizeof c->fold);
  c->chunk_length = 0;
  c->last_byte = 0;
  c->compressions = 0;
}

void chunker_restart(Chunker* c) {
  c->value = c->start_value;
  memset(c->fold, 0, sizeof c->fold);
  c->chunk_length = 0;
  c->last_byte = 0;
}

namespace {

// The rolling scan, one serial chain through the window value. kFold: fold
// the consumed bytes into the digest as they go (chunker_scan); without it
// the digest is left to chunk_digest_batch (chunker_cut).
template <bool kFold>
size_t scan_rolling(Chunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf, bool* ended) {
  *ended = false;
  const size_t start = c->chunk_length;
  // A chunk never grows past kMaxChunkLength; reaching it ends the chunk.
  const size_t room = kMaxChunkLength - start;
  const size_t limit = n < room ? n : room;
  if (limit == 0) return 0;

  const uint32_t* const fwd = c->forward;
  const uint32_t* const rem = c->removal;
  uint32_t v = c->value;
  bool end = false;
  size_t k = 0;  // span index of the next byte; its chunk index is start + k

  if (start <= kWindowStartIndex) {
    // Nothing before chunk index 88 reaches a tested window.
    k = kWindowStartIndex - start;
    if (k >= limit) {
      k = limit;
      goto consumed;
    }
    // The window restarts as 12 virtual zero bytes, so the bytes leaving it
    // up to chunk index 99 are zeros.
    v = c->start_value;
  }
  // Chunk indices 88..99 and the first 12 bytes of the span: the leaving
  // byte is a virtual zero, or lies in the chunk buffer from an earlier span.
  for (; k < limit; k++) {
    size_t j = start + k;
    if (j >= kMinChunkLength && k >= kWindowLength) break;
    uint8_t y = j >= kMinChunkLength ? chunk_buf[j - kWindowLength] : 0;
    v = (v >> 8) ^ fwd[(v ^ p[k]) & 0xFF] ^ rem[y];
    if (j + 1 >= kMinChunkLength && v < kBoundaryThreshold) {
      k++;
      end = true;
      goto consumed;
    }
  }
  // The tight loop: the leaving byte is 12 bytes back in this same span.
  // Two bytes per step. crc is linear (crc[a ^ b] = crc[a] ^ crc[b]) and
  // forward = crc ^ 0xD202EF8D, so forward[(v ^ x) & 0xFF] =
  // crc[v & 0xFF] ^ forward[x], and one byte step becomes
  //   v0 = L(v) ^ q0,  L(v) = (v >> 8) ^ crc[v & 0xFF],
  //   q0 = forward[x0] ^ removal[y0]   (x0 enters, y0 leaves; no v in it).
  // The second byte gives v1 = L(v0) ^ q1, and L is linear too, so
  //   L(v0) = L(L(v)) ^ L(q0),
  //   L(L(v)) = (v >> 16) ^ L(crc[v & 0xFF] ^ ((v >> 8) & 0xFF))
  //           = (v >> 16) ^ crc2[v & 0xFF] ^ crc[(v >> 8) & 0xFF]
  // with crc2[a] = L(crc[a]) (crc[a] advanced by one more zero byte).
  // Merging the two crc[] lookups by linearity:
  //   v1 = (v >> 16) ^ crc2[v & 0xFF] ^ crc[((v >> 8) ^ q0) & 0xFF]
  //        ^ (q0 >> 8) ^ q1.
  // The chain through v is then one table load per two bytes; v0, needed
  // only for the boundary test after the first byte, is computed beside it.
  {
    const uint32_t* const crc = c->crc_table;
    const uint32_t* const crc2 = c->crc_table2;
    for (; k + 2 <= limit; k += 2) {
      uint32_t q0 = fwd[p[k]] ^ rem[p[k - kWindowLength]];
      uint32_t q1 = fwd[p[k + 1]] ^ rem[p[k + 1 - kWindowLength]];
      uint32_t v0 = (v >> 8) ^ crc[v & 0xFF] ^ q0;
      v = (v >> 16) ^ crc2[v & 0xFF] ^ crc[((v >> 8) ^ q0) & 0xFF] ^ (q0 >> 8) ^ q1;
      if (v0 < kBoundaryThreshold) {
        v = v0;
        k += 1;
        end = true;
        goto consumed;
      }
      if (v < kBoundaryThreshold) {
        k += 2;
        end = true;
        goto consumed;
      }
    }
    if (k < limit) {
      v = (v >> 8) ^ fwd[(v ^ p[k]) & 0xFF] ^ rem[p[k - kWindowLength]];
      k++;
      end = v < kBoundaryThreshold;
    }
  }

consumed:
  if (k == room) end = true;  // the length rule
  plat_copy(chunk_buf + start, p, k);
  if (kFold) fold_span(c, p, k);
  c->value = v;
  c->chunk_length = uint32_t(start + k);
  c->last_byte = p[k - 1];
  *ended = end;
  return k;
}

// The window value at span index k (chunk index start + k >= 99) when the
// window reaches back before the span: those bytes are in the chunk buffer.
inline uint32_t window_across(const BoundaryTables& t, const uint8_t* chunk_buf, size_t start,
                              const uint8_t* p, size_t k) {
  uint32_t v = kZeroWindowCrc;
  for (size_t d = 0; d < kWindowLength; d++) {
    uint8_t b = d <= k ? p[k - d] : chunk_buf[start + k - d];
    v ^= t.lin[d][b];
  }
  return v;
}

}  // namespace

size_t chunker_scan(Chunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf, bool* ended) {
  return scan_rolling<true>(c, p, n, chunk_buf, ended);
}

size_t chunker_cut(Chunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf, bool* ended) {
  const SimdWidth width = simd_width();
  if (width == kSimdScalar) return scan_rolling<false>(c, p, n, chunk_buf, ended);
  *ended = false;
  const size_t start = c->chunk_length;
  const size_t room = kMaxChunkLength - start;
  const size_t limit = n < room ? n : room;
  if (limit == 0) return 0;
  // The first span index whose byte can end the chunk (the chunk's 100th).
  size_t k = start + 1 >= kMinChunkLength ? 0 : kMinChunkLength - 1 - start;
  bool end = false;
  if (k < limit) {
    const BoundaryTables& t = boundary_tables();
    // Windows that begin before the span.
    for (; k < limit && k + 1 < kWindowLength; k++) {
      if (window_across(t, chunk_buf, start, p, k) < kBoundaryThreshold) {
        end = true;
        break;
      }
    }
    if (!end && k < limit) {
      k = boundary_find(width, p, k, limit, kBoundaryThreshold);
      end = k < limit;
    }
    if (end) k++;  // the boundary byte is the chunk's last
  } else {
    k = limit;
  }
  if (k == room) end = true;  // the length rule
  plat_copy(chunk_buf + start, p, k);
  c->chunk_length = uint32_t(start + k);
  c->last_byte = p[k - 1];
  *ended = end;
  return k;
}

void chunker_finish(Chunker* c, uint8_t* key) {
  fold_compress(c->fold);
  c->compressions++;
  memcpy(key, c->fold, kChunkDigestSize);
  store_le16(key + kChunkDigestSize, uint16_t(c->chunk_length));
  memset(c->fold, 0, sizeof c->fold);
  c->chunk_length = 0;
}
