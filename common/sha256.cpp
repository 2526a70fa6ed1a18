#include "common/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "common/bytes.h"

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t state[8], const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                  kRound[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#if defined(__x86_64__) || defined(__i386__)
#define SHA256_HARDWARE 1

// The same blocks with the processor's SHA-256 instructions: four rounds
// per two sha256rnds2, the message schedule with sha256msg1/2. The state
// is kept as ABEF and CDGH, as the instructions want it.
__attribute__((target("sha,sse4.1"))) void compress_hw(uint32_t state[8], const uint8_t* p,
                                                       size_t blocks) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);  // ABEF
  s1 = _mm_blend_epi16(s1, tmp, 0xF0);       // CDGH
  for (; blocks > 0; blocks--, p += 64) {
    const __m128i abef = s0, cdgh = s1;
    __m128i msg[4];
    for (int i = 0; i < 4; i++) {
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), swap);
    }
    for (int i = 0; i < 16; i++) {
      __m128i t = _mm_add_epi32(msg[i & 3],
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
      s1 = _mm_sha256rnds2_epu32(s1, s0, t);
      s0 = _mm_sha256rnds2_epu32(s0, s1, _mm_shuffle_epi32(t, 0x0E));
      if (i < 12) {
        // Words 4i+16..4i+19 from 4i..4i+15, in the place of 4i..4i+3.
        __m128i w = _mm_sha256msg1_epu32(msg[i & 3], msg[(i + 1) & 3]);
        w = _mm_add_epi32(w, _mm_alignr_epi8(msg[(i + 3) & 3], msg[(i + 2) & 3], 4));
        msg[i & 3] = _mm_sha256msg2_epu32(w, msg[(i + 3) & 3]);
      }
    }
    s0 = _mm_add_epi32(s0, abef);
    s1 = _mm_add_epi32(s1, cdgh);
  }
  tmp = _mm_shuffle_epi32(s0, 0x1B);  // FEBA
  s1 = _mm_shuffle_epi32(s1, 0xB1);   // DCHG
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(tmp, s1, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(s1, tmp, 8));
}

// Asked of the processor itself: not every compiler's __builtin_cpu_supports
// knows "sha" (clang 14 does not). SHA: leaf 7 EBX bit 29; SSE4.1: leaf 1
// ECX bit 19.
bool hardware_present() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 19))) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & (1u << 29)) != 0;
}
#else
#define SHA256_HARDWARE 0
void compress_hw(uint32_t*, const uint8_t*, size_t) {}
bool hardware_present() { return false; }
#endif

bool g_hardware = hardware_present();

void compress_blocks(uint32_t state[8], const uint8_t* p, size_t blocks) {
  if (g_hardware) {
    compress_hw(state, p, blocks);
    return;
  }
  for (; blocks > 0; blocks--, p += 64) compress(state, p);
}

}  // namespace

bool sha256_use_hardware(bool allow) {
  g_hardware = allow && hardware_present();
  return g_hardware;
}

void sha256_init(Sha256* h) {
  static constexpr uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(h->state, kInit, sizeof kInit);
  h->length = 0;
  h->have = 0;
}

void sha256_update(Sha256* h, const uint8_t* p, size_t n) {
  h->length += n;
  if (h->have > 0) {
    size_t k = n < 64 - h->have ? n : 64 - h->have;
    memcpy(h->block + h->have, p, k);
    h->have += k;
    p += k;
    n -= k;
    if (h->have < 64) return;
    compress_blocks(h->state, h->block, 1);
    h->have = 0;
  }
  compress_blocks(h->state, p, n / 64);
  p += n / 64 * 64;
  n %= 64;
  memcpy(h->block, p, n);
  h->have = n;
}

void sha256_final(Sha256* h, uint8_t out[kSha256Size]) {
  const uint64_t bits = h->length * 8;
  h->block[h->have++] = 0x80;
  if (h->have > 56) {
    memset(h->block + h->have, 0, 64 - h->have);
    compress_blocks(h->state, h->block, 1);
    h->have = 0;
  }
  memset(h->block + h->have, 0, 56 - h->have);
  store_be64(h->block + 56, bits);
  compress_blocks(h->state, h->block, 1);
  for (int i = 0; i < 8; i++) store_be32(out + 4 * i, h->state[i]);
}

void sha256_hex(const uint8_t digest[kSha256Size], char out[2 * kSha256Size + 1]) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < kSha256Size; i++) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 15];
  }
  out[2 * kSha256Size] = 0;
}
