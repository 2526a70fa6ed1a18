// The whole-store scan on stores built in memory the way the server builds
// them: chunks cut by the model, each padded with copies of its last byte.
#include "client/store_scan.h"

#include <gtest/gtest.h>

#include <random>

#include "chunk_model.h"
#include "common/record.h"

namespace {

using chunk_model::Bytes;

struct BuiltStore {
  Bytes bytes;
  std::vector<uint64_t> offsets;  // of each chunk
  std::vector<uint32_t> fulls;
  uint64_t padding = 0;
};

void append_chunk(BuiltStore* s, const Bytes& chunk) {
  s->offsets.push_back(s->bytes.size() / 64);
  s->fulls.push_back(uint32_t(chunk.size()));
  s->bytes.insert(s->bytes.end(), chunk.begin(), chunk.end());
  size_t pad = padded_chunk_size(chunk.size()) - chunk.size();
  s->bytes.insert(s->bytes.end(), pad, chunk.back());
  s->padding += pad;
}

// Stores each file's chunks, new ones only, as the server does.
BuiltStore build(const std::vector<Bytes>& files) {
  BuiltStore s;
  s.bytes.assign(kStoreHeaderSize, kStoreHeaderByte);
  std::vector<chunk_model::Key> seen;
  for (const Bytes& f : files) {
    for (const auto& c : chunk_model::model_cut(f)) {
      bool known = false;
      for (const auto& k : seen) known |= k == c.key;
      if (known) continue;
      seen.push_back(c.key);
      append_chunk(&s, c.bytes);
    }
  }
  return s;
}

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(gen());
  return b;
}

class StoreScanTest : public ::testing::Test {
 protected:
  StoreScan* scan(const Bytes& store, size_t span) {
    scan_begin(&scan_, kStoreHeaderSize);
    for (size_t at = kStoreHeaderSize; at < store.size(); at += span) {
      size_t n = std::min(span, store.size() - at);
      scan_feed(&scan_, store.data() + at, n);
    }
    scan_end(&scan_);
    return &scan_;
  }
  StoreScan scan_;
};

TEST_F(StoreScanTest, FindsEveryStoredChunkInSpansOfAnySize) {
  Bytes a = random_bytes(200000, 1), b = a;
  b.insert(b.begin() + 100000, 77, 0x42);
  Bytes zeros(70000, 0);  // a chunk of 65535 bytes: no padding but one byte
  BuiltStore st = build({a, b, zeros, Bytes{}, Bytes{'a', 'b', 'c'}});
  uint64_t full_sum = 0;
  for (uint32_t f : st.fulls) full_sum += f;
  for (size_t span : {size_t(1), size_t(63), size_t(4096), size_t(1) << 20}) {
    StoreScan* s = scan(st.bytes, span);
    EXPECT_EQ(s->chunks, st.offsets.size()) << span;
    EXPECT_EQ(s->chunk_bytes, full_sum);
    EXPECT_EQ(s->padding_bytes, st.padding);
    EXPECT_EQ(s->bad_padding, 0u);
    EXPECT_EQ(s->duplicates, 0u);
    EXPECT_EQ(s->pos, st.bytes.size());
    EXPECT_EQ(s->whole_end, st.bytes.size());
    EXPECT_TRUE(scan_at_boundary(s));
  }
}

TEST_F(StoreScanTest, CountsChunksStoredTwiceAndNamesBothCopies) {
  // Chunks are digested many at a time: the second case puts the first copy
  // hundreds of chunks before the second, and a span boundary inside them.
  struct Case {
    size_t bytes;
    size_t chunk;
    size_t span;
  };
  for (Case c : {Case{30000, 2, 5000}, Case{150000, 300, 777}}) {
    BuiltStore st = build({random_bytes(c.bytes, 2)});
    ASSERT_GT(st.offsets.size(), c.chunk + 1);
    // After an index eviction the server stores a chunk again at the end.
    Bytes again(st.bytes.begin() + st.offsets[c.chunk] * 64,
                st.bytes.begin() + st.offsets[c.chunk] * 64 + st.fulls[c.chunk]);
    append_chunk(&st, again);
    StoreScan* s = scan(st.bytes, c.span);
    EXPECT_EQ(s->chunks, st.offsets.size());
    EXPECT_EQ(s->duplicates, 1u) << c.chunk;
    EXPECT_EQ(s->duplicate_bytes, padded_chunk_size(st.fulls[c.chunk]));
    ASSERT_EQ(s->duplicate_examples, 1u);
    EXPECT_EQ(s->duplicate_at[0].first, st.offsets[c.chunk]);
    EXPECT_EQ(s->duplicate_at[0].again, st.offsets.back());
  }
}

TEST_F(StoreScanTest, PaddingThatIsNotACopyIsCountedWithItsChunk) {
  BuiltStore st = build({random_bytes(60000, 3)});
  size_t victim = 0;
  while (st.fulls[victim] % 64 == 0) victim++;
  st.bytes[st.offsets[victim] * 64 + st.fulls[victim]] ^= 0x80;  // its first padding byte
  StoreScan* s = scan(st.bytes, 777);
  EXPECT_EQ(s->bad_padding, 1u);
  EXPECT_EQ(s->bad_padding_at[0], st.offsets[victim]);
  EXPECT_EQ(s->chunks, st.offsets.size());  // padding is skipped: the cut stays in step
}

TEST_F(StoreScanTest, TornTailIsWhatFollowsTheLastWholeChunk) {
  BuiltStore st = build({random_bytes(50000, 4)});
  const uint64_t last = st.offsets.back() * 64;
  // Cut inside the last chunk's bytes: no chunk ends there.
  Bytes torn(st.bytes.begin(), st.bytes.begin() + last + 50);
  StoreScan* s = scan(torn, 4096);
  EXPECT_EQ(s->chunks, st.offsets.size() - 1);
  EXPECT_EQ(s->whole_end, last);
  EXPECT_FALSE(scan_at_boundary(s));
  // Cut inside the padding: the chunk is whole, its padding is not.
  size_t i = st.offsets.size() - 1;
  while (st.fulls[i] % 64 == 0) i--;
  uint64_t pad_at = st.offsets[i] * 64 + st.fulls[i];
  Bytes short_pad(st.bytes.begin(), st.bytes.begin() + pad_at);
  s = scan(short_pad, 4096);
  EXPECT_EQ(s->chunks, i + 1);
  EXPECT_EQ(s->whole_end, st.offsets[i] * 64);
  EXPECT_EQ(s->pad_left, padded_chunk_size(st.fulls[i]) - st.fulls[i]);
}

}  // namespace
