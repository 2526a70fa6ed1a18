#include "chunk/chunker.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "chunk/chunk_digest.h"
#include "chunk/simd_width.h"
#include "common/bytes.h"
#include "tests/chunk_model.h"
#include "tests/fold_chunker.h"
#include "tests/simd_widths.h"

namespace {

using namespace chunk_model;

// ---- The production chunker driven the way a pass drives it --------------

struct Pass {
  std::unique_ptr<FoldChunker> c{new FoldChunker};
  Bytes buf = Bytes(kChunkBufferSize);
};

// Cuts data with spans chosen by next_span (called with the bytes left),
// then feeds one-byte filler spans until a chunk ends.
template <class SpanFn>
std::vector<Cut> fast_cut(const Bytes& data, SpanFn next_span) {
  Pass pass;
  FoldChunker* c = pass.c.get();
  chunker_reset(c);
  std::vector<Cut> cuts;
  size_t pos = 0;
  uint32_t filler = 0;
  for (;;) {
    bool ended = false;
    if (pos < data.size()) {
      size_t n = next_span(data.size() - pos);
      size_t used = chunker_scan(c, data.data() + pos, n, pass.buf.data(), &ended);
      EXPECT_GE(used, size_t(1));
      EXPECT_LE(used, n);
      if (used == 0) return cuts;
      EXPECT_EQ(c->last_byte, data[pos + used - 1]);
      pos += used;
    } else {
      uint8_t b = chunker_filler_byte(c);
      EXPECT_EQ(chunker_scan(c, &b, 1, pass.buf.data(), &ended), size_t(1));
      filler++;
    }
    if (!ended) continue;
    Cut cut;
    cut.full = c->chunk_length;
    cut.real = cut.full - filler;
    cut.bytes.assign(pass.buf.begin(), pass.buf.begin() + cut.full);
    chunker_finish(c, cut.key.data());
    EXPECT_EQ(c->chunk_length, 0u);
    cuts.push_back(cut);
    if (filler > 0) return cuts;
  }
}

std::vector<Cut> fast_cut_whole(const Bytes& data) {
  return fast_cut(data, [](size_t left) { return left; });
}

Key key_of(std::initializer_list<uint8_t> b) {
  Key k;
  std::copy(b.begin(), b.end(), k.begin());
  return k;
}

// Bytes whose first chunk boundary lies exactly at len (100..65534): no
// window from position 100 to len - 1 is below the threshold, the one at
// len is.
Bytes chunk_of_length(size_t len, std::mt19937* rng) {
  Bytes d(len);
  for (auto& b : d) b = uint8_t((*rng)());
  for (size_t end = 100; end < len; end++) {
    while (window_crc(d.data(), end) < kBoundaryThreshold) d[end - 1]++;
  }
  for (;;) {
    for (int b = 0; b < 256; b++) {
      d[len - 1] = uint8_t(b);
      if (window_crc(d.data(), len) < kBoundaryThreshold) return d;
    }
    do {
      d[len - 2] = uint8_t((*rng)());
    } while (len - 1 >= 100 && window_crc(d.data(), len - 1) < kBoundaryThreshold);
  }
}

// ---- Tables, start value, compression --------------------------------------

TEST(RollingHash, TablesAndStartValueMatchTheirCheckValues) {
  EXPECT_EQ(kWindowForward[0], 0xD202EF8Du);
  EXPECT_EQ(kWindowForward[1], 0xA505DF1Bu);
  EXPECT_EQ(kWindowForward[255], 0xFF000000u);
  EXPECT_EQ(kWindowRemoval[0], 0x74A180EDu);
  EXPECT_EQ(kWindowRemoval[1], 0xA9375968u);
  EXPECT_EQ(kWindowRemoval[255], 0x494F0C4Bu);
  Chunker c;
  chunker_reset(&c);
  EXPECT_EQ(c.value, kWindowStartValue);
  const uint8_t zeros[12] = {0};
  EXPECT_EQ(kCrc.of(zeros, 12), kWindowStartValue);
  const char* check = "123456789";  // published CRC-32 check value
  EXPECT_EQ(kCrc.of(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
  for (int j = 0; j < 256; j++) EXPECT_EQ(kWindowForward[j], kCrc.table[j] ^ 0xD202EF8Du) << j;
  for (int b = 0; b < 256; b++) {
    uint8_t w[13] = {uint8_t(b)};
    EXPECT_EQ(kWindowRemoval[b], kCrc.of(w, 13) ^ kWindowStartValue) << b;
  }
}

TEST(RollingHash, ValueIsTheCrcOfTheLastTwelveBytes) {
  std::mt19937 rng(7);
  Bytes d = chunk_of_length(300, &rng);  // no boundary before 300
  Pass pass;
  chunker_reset(pass.c.get());
  bool ended = true;
  // Spans of 95 and 8 put the window for length 103 across both.
  EXPECT_EQ(chunker_scan(pass.c.get(), d.data(), 95, pass.buf.data(), &ended), 95u);
  EXPECT_EQ(chunker_scan(pass.c.get(), d.data() + 95, 5, pass.buf.data(), &ended), 5u);
  EXPECT_FALSE(ended);
  EXPECT_EQ(pass.c->value, window_crc(d.data(), 100));
  EXPECT_EQ(chunker_scan(pass.c.get(), d.data() + 100, 3, pass.buf.data(), &ended), 3u);
  EXPECT_EQ(pass.c->value, window_crc(d.data(), 103));
  EXPECT_EQ(chunker_scan(pass.c.get(), d.data() + 103, 150, pass.buf.data(), &ended), 150u);
  EXPECT_FALSE(ended);
  EXPECT_EQ(pass.c->value, window_crc(d.data(), 253));

  // Zeros hold it at the start value.
  chunker_reset(pass.c.get());
  Bytes z(5000, 0);
  EXPECT_EQ(chunker_scan(pass.c.get(), z.data(), z.size(), pass.buf.data(), &ended), z.size());
  EXPECT_FALSE(ended);
  EXPECT_EQ(pass.c->value, kWindowStartValue);
}

TEST(FoldDigest, CompressionOfZeroBlockAndPublishedMd5Vector) {
  uint8_t block[64] = {0};
  fold_compress(block);
  const uint8_t want[16] = {0xac, 0x1d, 0x1f, 0x03, 0xd0, 0x8e, 0xa5, 0x6e,
                            0xb7, 0x67, 0xab, 0x1f, 0x91, 0x77, 0x31, 0x74};
  EXPECT_EQ(0, memcmp(block, want, 16));
  for (int i = 16; i < 64; i++) EXPECT_EQ(block[i], 0) << i;

  // "abc" padded to one MD5 block: 0x80, zeros, bit length 24 in word 14.
  uint8_t abc[64] = {'a', 'b', 'c', 0x80};
  abc[56] = 24;
  uint32_t h[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
  md5_compress(h, abc);
  uint8_t digest[16];
  for (int i = 0; i < 4; i++) store_le32(digest + 4 * i, h[i]);
  const uint8_t md5_abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                               0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_EQ(0, memcmp(digest, md5_abc, 16));
}

TEST(FoldDigest, SixtyFourthByteCompressesFirstAndCountSixtyThreeIsHashed) {
  std::mt19937 rng(11);
  Bytes d = chunk_of_length(126, &rng);  // 63 + 63: ends with fold count 63
  Pass pass;
  FoldChunker* c = pass.c.get();
  chunker_reset(c);
  bool ended;
  EXPECT_EQ(chunker_scan(c, d.data(), 63, pass.buf.data(), &ended), 63u);
  EXPECT_EQ(0, memcmp(c->fold, d.data(), 63));
  EXPECT_EQ(c->fold[63], 63);
  EXPECT_EQ(c->compressions, 0u);

  uint8_t want[64] = {0};
  memcpy(want, d.data(), 63);
  want[63] = 63;
  fold_compress(want);
  want[0] ^= d[63];
  chunker_scan(c, d.data() + 63, 1, pass.buf.data(), &ended);
  EXPECT_EQ(c->compressions, 1u);
  EXPECT_EQ(c->fold[63], 1);
  EXPECT_EQ(0, memcmp(c->fold, want, 63));

  EXPECT_EQ(chunker_scan(c, d.data() + 64, 62, pass.buf.data(), &ended), 62u);
  ASSERT_TRUE(ended);
  EXPECT_EQ(c->fold[63], 63);
  for (int i = 1; i < 63; i++) want[i] ^= d[63 + i];
  want[63] = 63;
  fold_compress(want);
  uint8_t key[16];
  chunker_finish(c, key);
  EXPECT_EQ(0, memcmp(key, want, 14));
  EXPECT_EQ(load_le16(key + 14), 126);
  for (int i = 0; i < 64; i++) EXPECT_EQ(c->fold[i], 0) << i;
}

// ---- Whole passes with published results ----------------------------------

TEST(Chunker, EmptyInputIsOneChunkOf179FillerBytes) {
  auto cuts = fast_cut_whole({});
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].full, 179u);
  EXPECT_EQ(cuts[0].real, 0u);
  for (size_t i = 0; i < 179; i++) EXPECT_EQ(cuts[0].bytes[i], uint8_t(i + 1)) << i;
  EXPECT_EQ(window_crc(cuts[0].bytes.data(), 179), 0x001ECA68u);
  EXPECT_EQ(cuts[0].key, key_of({0x6e, 0x1b, 0xd4, 0xd8, 0x1b, 0x2a, 0x29, 0x8d, 0xd9, 0x5a,
                                 0xc5, 0x31, 0x1e, 0xac, 0xb3, 0x00}));
}

TEST(Chunker, AbcIsOneChunkOfFullLength238) {
  auto cuts = fast_cut_whole({0x61, 0x62, 0x63});
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].full, 238u);
  EXPECT_EQ(cuts[0].real, 3u);
  EXPECT_EQ(cuts[0].bytes[3], 0x64);
  EXPECT_EQ(cuts[0].bytes[237], 0x4E);
  EXPECT_EQ(cuts[0].key, key_of({0xde, 0xc8, 0x52, 0x0f, 0xdd, 0x02, 0x54, 0xd6, 0x45, 0x0c,
                                 0x15, 0xb4, 0xbb, 0xb6, 0xee, 0x00}));
}

TEST(Chunker, SeventyThousandZerosAreCutByTheLengthRule) {
  auto cuts = fast_cut_whole(Bytes(70000, 0));
  ASSERT_EQ(cuts.size(), 2u);
  EXPECT_EQ(cuts[0].full, 65535u);
  EXPECT_EQ(cuts[0].real, 65535u);
  EXPECT_EQ(load_le16(cuts[0].key.data() + 14), 65535);
  EXPECT_EQ(cuts[1].full, 4543u);
  EXPECT_EQ(cuts[1].real, 4465u);
  for (size_t i = 0; i < 78; i++) EXPECT_EQ(cuts[1].bytes[4465 + i], uint8_t(i + 1)) << i;
}

TEST(Chunker, FillerAfterLastByteFFWrapsToZero) {
  auto cuts = fast_cut_whole({0x10, 0xFF});
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].real, 2u);
  EXPECT_EQ(cuts[0].bytes[2], 0x00);
  EXPECT_EQ(cuts[0].bytes[3], 0x01);
  EXPECT_EQ(cuts[0].bytes[4], 0x02);
}

// ---- Boundary rule ----------------------------------------------------------

TEST(Chunker, ChunkOfExactly100BytesAndNoEndBelow100) {
  std::mt19937 rng(3);
  Bytes d = chunk_of_length(100, &rng);
  Bytes tail = chunk_of_length(300, &rng);
  d.insert(d.end(), tail.begin(), tail.end());
  auto cuts = fast_cut_whole(d);
  ASSERT_GE(cuts.size(), 2u);
  EXPECT_EQ(cuts[0].full, 100u);
  EXPECT_EQ(cuts[1].full, 300u);

  // A window below the threshold at length 99 does not end the chunk.
  Bytes e(99);
  for (auto& b : e) b = uint8_t(rng());
  while (window_crc(e.data(), 99) >= kBoundaryThreshold) e[98]++;
  Pass pass;
  chunker_reset(pass.c.get());
  bool ended = true;
  EXPECT_EQ(chunker_scan(pass.c.get(), e.data(), 99, pass.buf.data(), &ended), 99u);
  EXPECT_FALSE(ended);
  EXPECT_EQ(pass.c->chunk_length, 99u);
}

// A chunk's cut and key depend only on its own bytes, not on what came
// before it in the pass: the window and fold state carry nothing across.
TEST(Chunker, ChunksAfterABoundaryDoNotDependOnEarlierBytes) {
  std::mt19937 rng(9);
  Bytes d(50000);
  for (auto& b : d) b = uint8_t(rng());
  Bytes prefixed = chunk_of_length(777, &rng);
  prefixed.insert(prefixed.end(), d.begin(), d.end());
  auto plain = fast_cut_whole(d);
  auto shifted = fast_cut_whole(prefixed);
  ASSERT_EQ(shifted.size(), plain.size() + 1);
  EXPECT_EQ(shifted[0].full, 777u);
  for (size_t i = 0; i + 1 < plain.size(); i++) EXPECT_EQ(shifted[i + 1].key, plain[i].key) << i;
}

// ---- Fast path against the byte-at-a-time model ---------------------------

Bytes varied_data() {
  std::mt19937 rng(1234);
  Bytes d;
  auto add_random = [&](size_t n, unsigned mod) {
    for (size_t i = 0; i < n; i++) d.push_back(uint8_t(rng() % mod));
  };
  add_random(1 << 20, 256);
  d.insert(d.end(), 140000, 0);
  for (int i = 0; i < 30000; i++) d.insert(d.end(), {'c', 'h', 'u', 'n', 'k', ' ', 'o', 'f', ' '});
  for (int i = 0; i < 20; i++) {
    Bytes c = chunk_of_length(100, &rng);
    d.insert(d.end(), c.begin(), c.end());
  }
  for (size_t len : {101u, 126u, 127u, 189u, 65534u}) {
    Bytes c = chunk_of_length(len, &rng);
    d.insert(d.end(), c.begin(), c.end());
  }
  add_random(600000, 2);
  d.insert(d.end(), 65535, 0xAB);
  add_random(300000, 256);
  for (int i = 0; i < 4000; i++) d.insert(d.end(), {0x00, 0xFF, 0x7F});
  add_random(777, 256);
  return d;
}

void expect_same_cuts(const std::vector<Cut>& got, const std::vector<Cut>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    ASSERT_EQ(got[i].full, want[i].full) << "chunk " << i;
    ASSERT_EQ(got[i].real, want[i].real) << "chunk " << i;
    ASSERT_EQ(got[i].key, want[i].key) << "chunk " << i;
    ASSERT_EQ(got[i].bytes, want[i].bytes) << "chunk " << i;
  }
}

TEST(Chunker, FastPathMatchesByteAtATimeModel) {
  const Bytes data = varied_data();
  const auto want = model_cut(data);
  size_t hundreds = 0, longest = 0;
  for (const Cut& c : want) {
    hundreds += c.full == 100;
    longest += c.full == 65535;
  }
  EXPECT_GE(hundreds, 20u);
  EXPECT_GE(longest, 3u);

  expect_same_cuts(fast_cut_whole(data), want);
  std::mt19937 rng(42);
  expect_same_cuts(fast_cut(data,
                            [&](size_t left) {
                              size_t n;
                              switch (rng() % 4) {
                                case 0: n = 1; break;
                                case 1: n = 1 + rng() % 24; break;
                                case 2: n = 1 + rng() % 700; break;
                                default: n = 1 + rng() % 150000; break;
                              }
                              return std::min(n, left);
                            }),
                   want);
}

TEST(Chunker, OneByteSpansMatchModel) {
  std::mt19937 rng(77);
  Bytes d(200000);
  for (auto& b : d) b = uint8_t(rng() % 4);
  d.insert(d.end(), 70000, 0);
  expect_same_cuts(fast_cut(d, [](size_t) { return size_t(1); }), model_cut(d));
}

// Cutting one stored chunk again: a restart on a chunker left in the middle
// of another chunk (window, fold block and last byte all dirty) gives every
// chunk of a pass back with the same full length and key, the last one with
// its filler included.
TEST(Chunker, RestartRecutsEachChunkOfAPass) {
  const Bytes data = varied_data();
  const auto want = fast_cut_whole(data);
  Pass pass;
  FoldChunker* c = pass.c.get();
  chunker_reset(c);
  bool ended = false;
  Bytes noise(5000, 0x5A);
  for (size_t i = 0; i < noise.size(); i++) noise[i] = uint8_t(i * 131);
  ASSERT_EQ(chunker_scan(c, noise.data(), 60, pass.buf.data(), &ended), size_t(60));
  ASSERT_FALSE(ended);
  for (size_t i = 0; i < want.size(); i++) {
    if (i % 7 == 3) {  // now and then leave the chunker deep inside a chunk
      chunker_restart(c);
      (void)chunker_scan(c, noise.data(), 95 + i % 50, pass.buf.data(), &ended);
    }
    chunker_restart(c);
    Bytes bytes = want[i].bytes;
    bytes.insert(bytes.end(), 300, 0x11);  // what follows in the store
    size_t used = chunker_scan(c, bytes.data(), bytes.size(), pass.buf.data(), &ended);
    ASSERT_TRUE(ended) << "chunk " << i;
    ASSERT_EQ(used, size_t(want[i].full)) << "chunk " << i;
    Key key;
    chunker_finish(c, key.data());
    ASSERT_EQ(key, want[i].key) << "chunk " << i;
  }
}

// ---- The cut without the digest, and the digest in lanes -------------------

// Cuts data as the passes do: chunker_cut into an arena of chunk buffers,
// the keys of up to 16 finished chunks at a time from chunk_digest_batch.
template <class SpanFn>
std::vector<Cut> batched_cut(const Bytes& data, SpanFn next_span) {
  std::unique_ptr<Chunker> c(new Chunker);
  chunker_reset(c.get());
  Bytes arena(16 * kChunkBufferSize);
  std::vector<Cut> cuts;
  std::vector<ChunkSpan> batch;
  size_t fill = 0, pos = 0;
  uint32_t filler = 0;
  auto digest = [&] {
    std::vector<uint8_t> keys(batch.size() * kChunkKeySize);
    chunk_digest_batch(batch.data(), batch.size(), keys.data());
    for (size_t i = 0; i < batch.size(); i++) {
      Cut& cut = cuts[cuts.size() - batch.size() + i];
      memcpy(cut.key.data(), &keys[i * kChunkKeySize], kChunkKeySize);
    }
    batch.clear();
    fill = 0;
  };
  for (;;) {
    bool ended = false;
    uint8_t* buf = arena.data() + fill;
    if (pos < data.size()) {
      size_t n = next_span(data.size() - pos);
      size_t used = chunker_cut(c.get(), data.data() + pos, n, buf, &ended);
      if (used == 0 || used > n) {
        ADD_FAILURE() << "chunker_cut took " << used << " of " << n;
        return cuts;
      }
      pos += used;
    } else {
      uint8_t b = chunker_filler_byte(c.get());
      EXPECT_EQ(chunker_cut(c.get(), &b, 1, buf, &ended), size_t(1));
      filler++;
    }
    if (!ended) continue;
    Cut cut;
    cut.full = c->chunk_length;
    cut.real = cut.full - filler;
    cut.bytes.assign(buf, buf + cut.full);
    cuts.push_back(cut);
    batch.push_back(ChunkSpan{buf, cut.full});
    fill += padded_chunk_size(cut.full);
    chunker_next_chunk(c.get());
    if (batch.size() == 16 || filler > 0 || fill + kChunkBufferSize > arena.size()) digest();
    if (filler > 0) return cuts;
  }
}

TEST(ChunkCut, EveryWidthMatchesTheModelOverVariedData) {
  const Bytes data = varied_data();
  const auto want = model_cut(data);
  for_each_width([&](SimdWidth) {
    expect_same_cuts(batched_cut(data, [](size_t left) { return left; }), want);
    std::mt19937 rng(5);
    expect_same_cuts(batched_cut(data,
                                 [&](size_t left) {
                                   size_t n = rng() % 3 == 0 ? 1 + rng() % 40 : 1 + rng() % 90000;
                                   return std::min(n, left);
                                 }),
                     want);
  });
}

// Two spans split at every position near a chunk's end, and inputs that end
// anywhere in the first bytes of a chunk, where no window is tested yet.
TEST(ChunkCut, SpanSplitsNearAChunkEndAndShortLastChunks) {
  std::mt19937 rng(21);
  Bytes head = chunk_of_length(1000, &rng);
  Bytes next = chunk_of_length(100, &rng);
  Bytes data = head;
  data.insert(data.end(), next.begin(), next.end());
  Bytes more(3000);
  for (auto& b : more) b = uint8_t(rng());
  data.insert(data.end(), more.begin(), more.end());
  const auto want = model_cut(data);
  ASSERT_EQ(want[0].full, 1000u);
  ASSERT_EQ(want[1].full, 100u);
  for_each_width([&](SimdWidth) {
    for (size_t split = 900; split <= 1200; split++) {
      size_t served = 0;
      auto two = [&](size_t left) {
        size_t n = served < split ? split - served : left;
        n = std::min(n, left);
        served += n;
        return n;
      };
      // chunker_cut returns at a chunk end; the rest of a span comes back.
      expect_same_cuts(batched_cut(data, two), want);
      if (HasFatalFailure()) return;
    }
    for (size_t tail : {0u, 1u, 11u, 12u, 13u, 50u, 87u, 88u, 89u, 98u, 99u, 100u}) {
      Bytes d = head;
      d.insert(d.end(), more.begin(), more.begin() + tail);
      expect_same_cuts(batched_cut(d, [](size_t left) { return std::min<size_t>(left, 7); }),
                       model_cut(d));
    }
  });
}

TEST(ChunkDigest, LanesGiveTheKeyOfEachChunkWhateverItsLength) {
  std::mt19937 rng(8);
  Bytes pool(300000);
  for (auto& b : pool) b = uint8_t(rng());
  std::vector<ChunkSpan> spans;
  std::vector<Key> want;
  auto add = [&](uint32_t len) {
    // Each chunk ends at the end of a copy of its own, so that a lane that
    // read past its chunk would see other bytes than zeros.
    size_t at = rng() % (pool.size() - len);
    spans.push_back(ChunkSpan{pool.data() + at, len});
    want.push_back(model_key(pool.data() + at, len));
  };
  for (uint32_t len = 0; len <= 200; len++) add(len);
  for (uint32_t len : {252u, 253u, 254u, 255u, 256u, 4095u, 65534u, 65535u}) add(len);
  for (int i = 0; i < 300; i++) add(100 + rng() % 2000);
  auto check = [&](size_t at, size_t m) {
    std::vector<uint8_t> keys(m * kChunkKeySize);
    chunk_digest_batch(&spans[at], m, keys.data());
    for (size_t i = 0; i < m; i++) {
      Key got;
      memcpy(got.data(), &keys[i * kChunkKeySize], kChunkKeySize);
      ASSERT_EQ(got, want[at + i]) << "length " << spans[at + i].length << ", batch of " << m;
    }
  };
  for_each_width([&](SimdWidth) {
    // Batches of every size up to 40, so lanes start idle, refill and drain
    // (one lane group or two), then all of them at once: two groups refill
    // from one list for hundreds of chunks before either drains.
    for (size_t at = 0, n = 1; at < spans.size(); at += n, n = n % 40 + 1) {
      check(at, std::min(n, spans.size() - at));
    }
    check(0, spans.size());
  });
  // More chunks than the lanes take in one go (they are handed over in
  // parts of 1024).
  const size_t one_set = spans.size();
  for (int copy = 0; copy < 2; copy++) {
    for (size_t i = 0; i < one_set; i++) {
      spans.push_back(spans[i]);
      want.push_back(want[i]);
    }
  }
  ASSERT_GT(spans.size(), size_t(1024));
  for_each_width([&](SimdWidth) { check(0, spans.size()); });
}

}  // namespace
