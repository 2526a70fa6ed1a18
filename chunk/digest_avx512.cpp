// The chunk digest with AVX-512: two groups of 16 lanes, one chunk a lane.
#include "chunk/digest_lanes.h"
#include "chunk/md5.h"
#include "chunk/vector_kernels.h"
#include "common/bytes.h"

#if CHUNK_SIMD_LANES

namespace {

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
  w[0] = _mm512_xor_si512(w[0], _mm512_add_epi32(a, _mm512_set1_epi32(int(kMd5Init[0]))));
  w[1] = _mm512_xor_si512(w[1], _mm512_add_epi32(b, _mm512_set1_epi32(int(kMd5Init[1]))));
  w[2] = _mm512_xor_si512(w[2], _mm512_add_epi32(c, _mm512_set1_epi32(int(kMd5Init[2]))));
  w[3] = _mm512_xor_si512(w[3], _mm512_add_epi32(d, _mm512_set1_epi32(int(kMd5Init[3]))));
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
    __m512i a = _mm512_set1_epi32(int(kMd5Init[0])), b = _mm512_set1_epi32(int(kMd5Init[1])),
            c = _mm512_set1_epi32(int(kMd5Init[2])), d = _mm512_set1_epi32(int(kMd5Init[3]));
    MD5_ALL_STEPS(V5_STEP)
    end_step512(L, w, a, b, c, d, keys);
  }
}

}  // namespace

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
    __m512i a = _mm512_set1_epi32(int(kMd5Init[0])), b = _mm512_set1_epi32(int(kMd5Init[1])),
            c = _mm512_set1_epi32(int(kMd5Init[2])), d = _mm512_set1_epi32(int(kMd5Init[3]));
    __m512i a2 = a, b2 = b, c2 = c, d2 = d;
    MD5_ALL_STEPS(V5_STEP2)
    end_step512(&A, w, a, b, c, d, keys);
    end_step512(&B, x, a2, b2, c2, d2, keys);
  }
  if (A.busy()) run_group512(&A, w, keys);
  if (B.busy()) run_group512(&B, x, keys);
}

#endif  // CHUNK_SIMD_LANES
