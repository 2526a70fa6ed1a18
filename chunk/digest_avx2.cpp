// The chunk digest with AVX2: 8 lanes, one chunk a lane.
#include "chunk/digest_lanes.h"
#include "chunk/md5.h"
#include "chunk/vector_kernels.h"
#include "common/bytes.h"

#if CHUNK_SIMD_LANES

namespace {

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

}  // namespace

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

    __m256i a = _mm256_set1_epi32(int(kMd5Init[0])), b = _mm256_set1_epi32(int(kMd5Init[1])),
            c = _mm256_set1_epi32(int(kMd5Init[2])), d = _mm256_set1_epi32(int(kMd5Init[3]));
    MD5_ALL_STEPS(V2_STEP)
    w[0] = _mm256_xor_si256(w[0], _mm256_add_epi32(a, _mm256_set1_epi32(int(kMd5Init[0]))));
    w[1] = _mm256_xor_si256(w[1], _mm256_add_epi32(b, _mm256_set1_epi32(int(kMd5Init[1]))));
    w[2] = _mm256_xor_si256(w[2], _mm256_add_epi32(c, _mm256_set1_epi32(int(kMd5Init[2]))));
    w[3] = _mm256_xor_si256(w[3], _mm256_add_epi32(d, _mm256_set1_epi32(int(kMd5Init[3]))));
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

#endif  // CHUNK_SIMD_LANES
