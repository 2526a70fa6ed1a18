#include "server/chunk_digest.h"

#include <cstring>

#include "common/bytes.h"
#include "server/chunker.h"
#include "server/simd_width.h"

#if CHUNK_SIMD_LANES
// gcc 12's AVX-512 intrinsics start some results from a deliberately
// undefined vector, which its uninitialised-value warnings report. (clang
// knows no -Wmaybe-uninitialized and would warn about the pragma itself.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

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

#if CHUNK_SIMD_LANES

namespace {

// The 64 MD5 steps: round function, the four working words in their turn,
// message word, additive constant, rotation.
#define MD5_ALL_STEPS(S)                                                                  \
  S(F, a, b, c, d, 0, 0xd76aa478, 7) S(F, d, a, b, c, 1, 0xe8c7b756, 12)                 \
  S(F, c, d, a, b, 2, 0x242070db, 17) S(F, b, c, d, a, 3, 0xc1bdceee, 22)                \
  S(F, a, b, c, d, 4, 0xf57c0faf, 7) S(F, d, a, b, c, 5, 0x4787c62a, 12)                 \
  S(F, c, d, a, b, 6, 0xa8304613, 17) S(F, b, c, d, a, 7, 0xfd469501, 22)                \
  S(F, a, b, c, d, 8, 0x698098d8, 7) S(F, d, a, b, c, 9, 0x8b44f7af, 12)                 \
  S(F, c, d, a, b, 10, 0xffff5bb1, 17) S(F, b, c, d, a, 11, 0x895cd7be, 22)              \
  S(F, a, b, c, d, 12, 0x6b901122, 7) S(F, d, a, b, c, 13, 0xfd987193, 12)               \
  S(F, c, d, a, b, 14, 0xa679438e, 17) S(F, b, c, d, a, 15, 0x49b40821, 22)              \
  S(G, a, b, c, d, 1, 0xf61e2562, 5) S(G, d, a, b, c, 6, 0xc040b340, 9)                  \
  S(G, c, d, a, b, 11, 0x265e5a51, 14) S(G, b, c, d, a, 0, 0xe9b6c7aa, 20)               \
  S(G, a, b, c, d, 5, 0xd62f105d, 5) S(G, d, a, b, c, 10, 0x02441453, 9)                 \
  S(G, c, d, a, b, 15, 0xd8a1e681, 14) S(G, b, c, d, a, 4, 0xe7d3fbc8, 20)               \
  S(G, a, b, c, d, 9, 0x21e1cde6, 5) S(G, d, a, b, c, 14, 0xc33707d6, 9)                 \
  S(G, c, d, a, b, 3, 0xf4d50d87, 14) S(G, b, c, d, a, 8, 0x455a14ed, 20)                \
  S(G, a, b, c, d, 13, 0xa9e3e905, 5) S(G, d, a, b, c, 2, 0xfcefa3f8, 9)                 \
  S(G, c, d, a, b, 7, 0x676f02d9, 14) S(G, b, c, d, a, 12, 0x8d2a4c8a, 20)               \
  S(H, a, b, c, d, 5, 0xfffa3942, 4) S(H, d, a, b, c, 8, 0x8771f681, 11)                 \
  S(H, c, d, a, b, 11, 0x6d9d6122, 16) S(H, b, c, d, a, 14, 0xfde5380c, 23)              \
  S(H, a, b, c, d, 1, 0xa4beea44, 4) S(H, d, a, b, c, 4, 0x4bdecfa9, 11)                 \
  S(H, c, d, a, b, 7, 0xf6bb4b60, 16) S(H, b, c, d, a, 10, 0xbebfbc70, 23)               \
  S(H, a, b, c, d, 13, 0x289b7ec6, 4) S(H, d, a, b, c, 0, 0xeaa127fa, 11)                \
  S(H, c, d, a, b, 3, 0xd4ef3085, 16) S(H, b, c, d, a, 6, 0x04881d05, 23)                \
  S(H, a, b, c, d, 9, 0xd9d4d039, 4) S(H, d, a, b, c, 12, 0xe6db99e5, 11)                \
  S(H, c, d, a, b, 15, 0x1fa27cf8, 16) S(H, b, c, d, a, 2, 0xc4ac5665, 23)               \
  S(I, a, b, c, d, 0, 0xf4292244, 6) S(I, d, a, b, c, 7, 0x432aff97, 10)                 \
  S(I, c, d, a, b, 14, 0xab9423a7, 15) S(I, b, c, d, a, 5, 0xfc93a039, 21)               \
  S(I, a, b, c, d, 12, 0x655b59c3, 6) S(I, d, a, b, c, 3, 0x8f0ccc92, 10)                \
  S(I, c, d, a, b, 10, 0xffeff47d, 15) S(I, b, c, d, a, 1, 0x85845dd1, 21)               \
  S(I, a, b, c, d, 8, 0x6fa87e4f, 6) S(I, d, a, b, c, 15, 0xfe2ce6e0, 10)                \
  S(I, c, d, a, b, 6, 0xa3014314, 15) S(I, b, c, d, a, 13, 0x4e0811a1, 21)               \
  S(I, a, b, c, d, 4, 0xf7537e82, 6) S(I, d, a, b, c, 11, 0xbd3af235, 10)                \
  S(I, c, d, a, b, 2, 0x2ad7d2bb, 15) S(I, b, c, d, a, 9, 0xeb86d391, 21)

constexpr uint32_t kInit0 = 0x67452301, kInit1 = 0xEFCDAB89, kInit2 = 0x98BADCFE,
                   kInit3 = 0x10325476;

// The vector paths take at most this many chunks per call of their own.
constexpr size_t kMaxLaneBatch = 1024;

// order[0..n) receives the chunk indices longest first (by length / 63, the
// number of compressions less one; ties in input order). The lanes take
// chunks in this order: the longest ones start early, and the lanes run dry
// together at the end instead of most of them idling while the last long
// chunks are folded (for batches of 128 chunks of random data, about a fifth
// fewer steps in all). A counting sort: two passes over the lengths.
// n <= kMaxLaneBatch.
inline void longest_first(const ChunkSpan* chunks, size_t n, uint16_t* order) {
  constexpr uint32_t kBuckets = 64;  // 63 compressions and more share the last
  uint16_t start[kBuckets + 1] = {0};
  auto bucket = [&](size_t i) {
    uint32_t c = chunks[i].length / 63;
    return kBuckets - 1 - (c < kBuckets - 1 ? c : kBuckets - 1);  // 0: the longest
  };
  for (size_t i = 0; i < n; i++) start[bucket(i) + 1]++;
  for (uint32_t b = 0; b < kBuckets; b++) start[b + 1] = uint16_t(start[b + 1] + start[b]);
  for (size_t i = 0; i < n; i++) order[start[bucket(i)]++] = uint16_t(i);
}

// Per-lane bookkeeping shared by both widths: which chunk a lane digests and
// how much of it is still to be folded.
template <int kLanes>
struct Lanes {
  const ChunkSpan* chunks;
  size_t n;
  const uint16_t* order;  // the chunks in the order lanes take them
  size_t* next;  // the next entry of order to give a lane (shared by lane groups)
  const uint8_t* ptr[kLanes];
  uint32_t left[kLanes];
  int64_t chunk[kLanes];  // -1: idle
  alignas(64) uint32_t count[kLanes];  // bytes folded in this step

  void start(const ChunkSpan* c, size_t count_of_chunks, const uint16_t* chunk_order,
             size_t* next_chunk) {
    chunks = c;
    n = count_of_chunks;
    order = chunk_order;
    next = next_chunk;
    for (int l = 0; l < kLanes; l++) assign(l);
  }
  void assign(int l) {
    if (*next < n) {
      const uint16_t i = order[*next];
      chunk[l] = int64_t(i);
      ptr[l] = chunks[i].bytes;
      left[l] = chunks[i].length;
      (*next)++;
    } else {
      chunk[l] = -1;
    }
  }
  // Lanes whose chunk has just had its last compression.
  uint32_t finished() const {
    uint32_t m = 0;
    for (int l = 0; l < kLanes; l++) {
      if (chunk[l] >= 0 && left[l] == 0) m |= 1u << l;
    }
    return m;
  }
  bool busy() const {
    for (int l = 0; l < kLanes; l++) {
      if (chunk[l] >= 0) return true;
    }
    return false;
  }
};

// The kernels' helpers are always inlined: no vector is passed by value or
// returned across a call, where a 32-bit ABI would put it on the stack and
// take the caller's alignment of that stack for granted.
#define KERNEL_INLINE inline __attribute__((always_inline))

// ---- AVX-512: 16 lanes ----------------------------------------------------

#define T512 __attribute__((target("avx512f,avx512bw,avx512vl")))
#define V5_F(b, c, d) _mm512_ternarylogic_epi32(b, c, d, 0xCA)
#define V5_G(b, c, d) _mm512_ternarylogic_epi32(b, c, d, 0xE4)
#define V5_H(b, c, d) _mm512_ternarylogic_epi32(b, c, d, 0x96)
#define V5_I(b, c, d) _mm512_ternarylogic_epi32(b, c, d, 0x39)
#define V5_STEP_ON(W, fn, a, b, c, d, k, t, s)                                            \
  a = _mm512_add_epi32(                                                                 \
      b, _mm512_rol_epi32(_mm512_add_epi32(_mm512_add_epi32(a, V5_##fn(b, c, d)),          \
                                           _mm512_add_epi32(W[k], _mm512_set1_epi32(int(t)))), \
                          s));
#define V5_STEP(fn, a, b, c, d, k, t, s) V5_STEP_ON(w, fn, a, b, c, d, k, t, s)
// The same step for two lane groups at once (words w and x, working words a
// and a2 and so on): one step's chain is a few operations long and waits on
// the one before, so a second independent chain fills the idle issue slots.
#define V5_STEP2(fn, a, b, c, d, k, t, s)  \
  V5_STEP_ON(w, fn, a, b, c, d, k, t, s) \
  V5_STEP_ON(x, fn, a##2, b##2, c##2, d##2, k, t, s)

T512 KERNEL_INLINE void transpose16(__m512i r[16]) {
  __m512i t[16], u[16];
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int g = 0; g < 16; g += 4) {
    u[g] = _mm512_unpacklo_epi64(t[g], t[g + 2]);
    u[g + 1] = _mm512_unpackhi_epi64(t[g], t[g + 2]);
    u[g + 2] = _mm512_unpacklo_epi64(t[g + 1], t[g + 3]);
    u[g + 3] = _mm512_unpackhi_epi64(t[g + 1], t[g + 3]);
  }
  // u[4g + c] holds, in 128-bit part q, word 4q + c of rows 4g..4g+3.
  for (int c = 0; c < 4; c++) {
    __m512i v0 = _mm512_shuffle_i32x4(u[c], u[4 + c], 0x44);
    __m512i v1 = _mm512_shuffle_i32x4(u[c], u[4 + c], 0xEE);
    __m512i v2 = _mm512_shuffle_i32x4(u[8 + c], u[12 + c], 0x44);
    __m512i v3 = _mm512_shuffle_i32x4(u[8 + c], u[12 + c], 0xEE);
    r[c] = _mm512_shuffle_i32x4(v0, v2, 0x88);
    r[4 + c] = _mm512_shuffle_i32x4(v0, v2, 0xDD);
    r[8 + c] = _mm512_shuffle_i32x4(v1, v3, 0x88);
    r[12 + c] = _mm512_shuffle_i32x4(v1, v3, 0xDD);
  }
}

// Lane l's next run as a vector. Bytes past the run are not read (a masked
// load does not fault) and fold in as zeros; byte 63 is replaced by the
// count. No copy, so nothing stalls on a store of a few bytes.
T512 KERNEL_INLINE __m512i row512(Lanes<16>* L, int l) {
  if (L->chunk[l] < 0) {
    L->count[l] = 0;
    return _mm512_setzero_si512();
  }
  uint32_t run = L->left[l] < 63 ? L->left[l] : 63;
  const uint8_t* src = L->ptr[l];
  L->count[l] = run;
  L->ptr[l] += run;
  L->left[l] -= run;
  return _mm512_maskz_loadu_epi8(__mmask64((uint64_t(1) << run) - 1), src);
}

// Folds each lane's next run into the group's block words w.
T512 KERNEL_INLINE void fold_rows512(Lanes<16>* L, __m512i w[16]) {
  const __m512i low24 = _mm512_set1_epi32(0x00FFFFFF);
  __m512i r[16];
  for (int l = 0; l < 16; l++) r[l] = row512(L, l);
  transpose16(r);
  for (int k = 0; k < 15; k++) w[k] = _mm512_xor_si512(w[k], r[k]);
  __m512i cnt = _mm512_slli_epi32(_mm512_load_si512(L->count), 24);
  w[15] = _mm512_or_si512(_mm512_and_si512(_mm512_xor_si512(w[15], r[15]), low24), cnt);
}

// After a compression with result a..d: the feed-forward into the block,
// then the keys of the lanes whose chunk is done, and those lanes refilled.
T512 KERNEL_INLINE void end_step512(Lanes<16>* L, __m512i w[16], __m512i a, __m512i b, __m512i c,
                             __m512i d, uint8_t* keys) {
  const __m512i low24 = _mm512_set1_epi32(0x00FFFFFF);
  w[0] = _mm512_xor_si512(w[0], _mm512_add_epi32(a, _mm512_set1_epi32(int(kInit0))));
  w[1] = _mm512_xor_si512(w[1], _mm512_add_epi32(b, _mm512_set1_epi32(int(kInit1))));
  w[2] = _mm512_xor_si512(w[2], _mm512_add_epi32(c, _mm512_set1_epi32(int(kInit2))));
  w[3] = _mm512_xor_si512(w[3], _mm512_add_epi32(d, _mm512_set1_epi32(int(kInit3))));
  w[15] = _mm512_and_si512(w[15], low24);

  uint32_t done = L->finished();
  if (done == 0) return;
  // Lane l's 16 block bytes (words 0..3 of its block, LE) are 128-bit part
  // l / 4 of k[l % 4]; each is stored straight from its register with a
  // masked store, and its last two bytes then replaced by the length.
  // Reading the words back one by one from a vector stored just before
  // would stall on every read.
  __m512i t0 = _mm512_unpacklo_epi32(w[0], w[1]), t1 = _mm512_unpackhi_epi32(w[0], w[1]);
  __m512i t2 = _mm512_unpacklo_epi32(w[2], w[3]), t3 = _mm512_unpackhi_epi32(w[2], w[3]);
  const __m512i kv[4] = {_mm512_unpacklo_epi64(t0, t2), _mm512_unpackhi_epi64(t0, t2),
                         _mm512_unpacklo_epi64(t1, t3), _mm512_unpackhi_epi64(t1, t3)};
  for (uint32_t m = done; m != 0; m &= m - 1) {
    const int l = __builtin_ctz(m);
    const int part = l >> 2;
    const size_t at = size_t(L->chunk[l]);
    uint8_t* key = keys + at * kChunkKeySize;
    // The base lies part * 16 bytes before the key; only the key's 16
    // bytes are written.
    _mm512_mask_storeu_epi32(reinterpret_cast<void*>(uintptr_t(key) - uintptr_t(16 * part)),
                             __mmask16(0xFu << (4 * part)), kv[l & 3]);
    store_le16(key + kChunkDigestSize, uint16_t(L->chunks[at].length));
    L->assign(l);
  }
  __mmask16 keep = __mmask16(~done);
  for (int k = 0; k < 16; k++) w[k] = _mm512_maskz_mov_epi32(keep, w[k]);
}

// One group of 16 lanes until all of its lanes are idle.
T512 void run_group512(Lanes<16>* L, __m512i w[16], uint8_t* keys) {
  while (L->busy()) {
    fold_rows512(L, w);
    __m512i a = _mm512_set1_epi32(int(kInit0)), b = _mm512_set1_epi32(int(kInit1)),
            c = _mm512_set1_epi32(int(kInit2)), d = _mm512_set1_epi32(int(kInit3));
    MD5_ALL_STEPS(V5_STEP)
    end_step512(L, w, a, b, c, d, keys);
  }
}

// Two groups of 16 lanes, their compressions interleaved, fed from one
// list of chunks. Once one group has gone idle (no chunk is left to give
// it), the other finishes alone.
T512 void digest_avx512(const ChunkSpan* chunks, size_t n, uint8_t* keys) {
  uint16_t order[kMaxLaneBatch];
  longest_first(chunks, n, order);
  size_t next = 0;
  Lanes<16> A, B;
  A.start(chunks, n, order, &next);
  B.start(chunks, n, order, &next);
  __m512i w[16], x[16];
  for (int k = 0; k < 16; k++) w[k] = x[k] = _mm512_setzero_si512();
  while (A.busy() && B.busy()) {
    fold_rows512(&A, w);
    fold_rows512(&B, x);
    __m512i a = _mm512_set1_epi32(int(kInit0)), b = _mm512_set1_epi32(int(kInit1)),
            c = _mm512_set1_epi32(int(kInit2)), d = _mm512_set1_epi32(int(kInit3));
    __m512i a2 = a, b2 = b, c2 = c, d2 = d;
    MD5_ALL_STEPS(V5_STEP2)
    end_step512(&A, w, a, b, c, d, keys);
    end_step512(&B, x, a2, b2, c2, d2, keys);
  }
  if (A.busy()) run_group512(&A, w, keys);
  if (B.busy()) run_group512(&B, x, keys);
}

// ---- AVX2: 8 lanes --------------------------------------------------------

#define T256 __attribute__((target("avx2")))
#define V2_ROL(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))
#define V2_F(b, c, d) _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)))
#define V2_G(b, c, d) _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)))
#define V2_H(b, c, d) _mm256_xor_si256(_mm256_xor_si256(b, c), d)
#define V2_I(b, c, d) _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, ones)))
#define V2_STEP(fn, a, b, c, d, k, t, s)                                                  \
  a = _mm256_add_epi32(                                                                 \
      b, V2_ROL(_mm256_add_epi32(_mm256_add_epi32(a, V2_##fn(b, c, d)),                    \
                                 _mm256_add_epi32(w[k], _mm256_set1_epi32(int(t)))),       \
                s));

// Rows r[0..7] (eight words each) become columns: r[c] lane l = old r[l][c].
T256 KERNEL_INLINE void transpose8(__m256i r[8]) {
  __m256i t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int g = 0; g < 8; g += 4) {
    u[g] = _mm256_unpacklo_epi64(t[g], t[g + 2]);
    u[g + 1] = _mm256_unpackhi_epi64(t[g], t[g + 2]);
    u[g + 2] = _mm256_unpacklo_epi64(t[g + 1], t[g + 3]);
    u[g + 3] = _mm256_unpackhi_epi64(t[g + 1], t[g + 3]);
  }
  for (int c = 0; c < 4; c++) {
    r[c] = _mm256_permute2x128_si256(u[c], u[4 + c], 0x20);
    r[4 + c] = _mm256_permute2x128_si256(u[c], u[4 + c], 0x31);
  }
}

// Lane l's next run as two vectors (words 0..7, 8..15). A last run shorter
// than the block is loaded with dword masks (masked-out dwords are not read
// and cannot fault) and its last partial dword assembled from single bytes:
// nothing past the chunk is read, nothing is copied.
alignas(32) const int32_t kDwordMask[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                            -1, -1, -1, -1, -1, 0,  0,  0,  0,  0,  0,
                                            0,  0,  0,  0,  0,  0,  0,  0,  0,  0};

T256 KERNEL_INLINE void row256(Lanes<8>* L, int l, __m256i* lo, __m256i* hi) {
  if (L->chunk[l] < 0) {
    L->count[l] = 0;
    *lo = *hi = _mm256_setzero_si256();
    return;
  }
  uint32_t run = L->left[l] < 63 ? L->left[l] : 63;
  const uint8_t* src = L->ptr[l];
  const bool last = L->left[l] < 64;
  L->count[l] = run;
  L->ptr[l] += run;
  L->left[l] -= run;
  if (!last) {
    *lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    *hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32));
    return;
  }
  const uint32_t whole = run / 4;  // dwords wholly inside the run, <= 15
  const uint32_t lo_n = whole < 8 ? whole : 8, hi_n = whole - lo_n;
  __m256i mlo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kDwordMask + 16 - lo_n));
  __m256i mhi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kDwordMask + 16 - hi_n));
  *lo = _mm256_maskload_epi32(reinterpret_cast<const int*>(src), mlo);
  *hi = _mm256_maskload_epi32(reinterpret_cast<const int*>(src + 32), mhi);
  uint32_t part = 0;
  for (uint32_t i = 4 * whole; i < run; i++) part |= uint32_t(src[i]) << (8 * (i - 4 * whole));
  if (part != 0) {
    __m256i v = _mm256_set1_epi32(int(part));
    __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i at = _mm256_set1_epi32(int(whole & 7));
    v = _mm256_and_si256(v, _mm256_cmpeq_epi32(iota, at));
    if (whole < 8) {
      *lo = _mm256_or_si256(*lo, v);
    } else {
      *hi = _mm256_or_si256(*hi, v);
    }
  }
}

T256 void digest_avx2(const ChunkSpan* chunks, size_t n, uint8_t* keys) {
  uint16_t order[kMaxLaneBatch];
  longest_first(chunks, n, order);
  size_t next = 0;
  Lanes<8> L;
  L.start(chunks, n, order, &next);
  __m256i w[16];
  for (int k = 0; k < 16; k++) w[k] = _mm256_setzero_si256();
  const __m256i low24 = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i ones = _mm256_set1_epi32(-1);
  while (L.busy()) {
    __m256i lo[8], hi[8];
    for (int l = 0; l < 8; l++) row256(&L, l, &lo[l], &hi[l]);
    transpose8(lo);
    transpose8(hi);
    for (int k = 0; k < 8; k++) w[k] = _mm256_xor_si256(w[k], lo[k]);
    for (int k = 0; k < 7; k++) w[8 + k] = _mm256_xor_si256(w[8 + k], hi[k]);
    __m256i cnt = _mm256_slli_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(L.count)), 24);
    w[15] = _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(w[15], hi[7]), low24), cnt);

    __m256i a = _mm256_set1_epi32(int(kInit0)), b = _mm256_set1_epi32(int(kInit1)),
            c = _mm256_set1_epi32(int(kInit2)), d = _mm256_set1_epi32(int(kInit3));
    MD5_ALL_STEPS(V2_STEP)
    w[0] = _mm256_xor_si256(w[0], _mm256_add_epi32(a, _mm256_set1_epi32(int(kInit0))));
    w[1] = _mm256_xor_si256(w[1], _mm256_add_epi32(b, _mm256_set1_epi32(int(kInit1))));
    w[2] = _mm256_xor_si256(w[2], _mm256_add_epi32(c, _mm256_set1_epi32(int(kInit2))));
    w[3] = _mm256_xor_si256(w[3], _mm256_add_epi32(d, _mm256_set1_epi32(int(kInit3))));
    w[15] = _mm256_and_si256(w[15], low24);

    uint32_t done = L.finished();
    if (done == 0) continue;
    // As with AVX-512: lane l's block bytes are half l / 4 of kv[l % 4],
    // stored from the register under a mask.
    __m256i t0 = _mm256_unpacklo_epi32(w[0], w[1]), t1 = _mm256_unpackhi_epi32(w[0], w[1]);
    __m256i t2 = _mm256_unpacklo_epi32(w[2], w[3]), t3 = _mm256_unpackhi_epi32(w[2], w[3]);
    const __m256i kv[4] = {_mm256_unpacklo_epi64(t0, t2), _mm256_unpackhi_epi64(t0, t2),
                           _mm256_unpacklo_epi64(t1, t3), _mm256_unpackhi_epi64(t1, t3)};
    const __m256i half[2] = {_mm256_setr_epi32(-1, -1, -1, -1, 0, 0, 0, 0),
                             _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1)};
    for (uint32_t m = done; m != 0; m &= m - 1) {
      const int l = __builtin_ctz(m);
      const int part = l >> 2;
      const size_t at = size_t(L.chunk[l]);
      uint8_t* key = keys + at * kChunkKeySize;
      _mm256_maskstore_epi32(reinterpret_cast<int*>(uintptr_t(key) - uintptr_t(16 * part)),
                             half[part], kv[l & 3]);
      store_le16(key + kChunkDigestSize, uint16_t(chunks[at].length));
      L.assign(l);
    }
    // Lanes that were not done keep their block words.
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    __m256i km = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(int(done)), bit),
                                    _mm256_setzero_si256());
    for (int k = 0; k < 16; k++) w[k] = _mm256_and_si256(w[k], km);
  }
}

}  // namespace

#endif  // CHUNK_SIMD_LANES

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
