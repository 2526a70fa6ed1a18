#include "chunk/md5.h"

#include "common/bytes.h"

namespace {

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_G(b, c, d) ((c) ^ ((d) & ((b) ^ (c))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))
#define MD5_STEP(fn, a, b, c, d, k, t, s) (a) = (b) + rotl((a) + MD5_##fn(b, c, d) + x[k] + (t), (s));

}  // namespace

void md5_compress(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++) x[i] = load_le32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  MD5_ALL_STEPS(MD5_STEP)
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}
