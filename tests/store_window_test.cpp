// Checking chunks against records: cut again from stored bytes, or
// completed with filler from their real bytes alone (as a pack carries them).
#include "client/store_window.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "chunk_model.h"
#include "client/verify_batch.h"

namespace {

using chunk_model::Bytes;
using chunk_model::Cut;

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(gen());
  return b;
}

// The check a restore makes of one stored chunk that begins at p[0] (got
// bytes available): cut again into a VerifyBatch, digested there, and
// compared with the record.
ChunkMatch stored_chunk_matches(Chunker* c, const uint8_t* p, size_t got, const ChunkRecord& rec) {
  static const std::unique_ptr<VerifyBatch> batch(new VerifyBatch);
  batch_clear(batch.get());
  if (batch_add(batch.get(), c, p, got, rec, 0) == kChunkCutShort) return kChunkCutShort;
  batch_digest(batch.get());
  return batch_match(batch.get(), 0);
}

ChunkRecord record_of(const Cut& c) {
  ChunkRecord r{};
  memcpy(r.digest, c.key.data(), kRecDigestSize);
  r.real_length = uint16_t(c.real);
  r.offset = 1;
  return r;
}

class ChunkMatchTest : public ::testing::Test {
 protected:
  void SetUp() override { chunker_reset(&chunker_); }
  // The byte fed before a cut's filler, as a pass over `cuts` feeds them.
  static uint8_t byte_before(const std::vector<Cut>& cuts, size_t i) {
    if (cuts[i].real > 0) return cuts[i].bytes[cuts[i].real - 1];
    return i > 0 ? cuts[i - 1].bytes.back() : 0;
  }
  Chunker chunker_;
  alignas(64) uint8_t buf_[kChunkBufferSize];
};

TEST_F(ChunkMatchTest, RealBytesOfEveryChunkMatchAndTheLastIsCompletedWithFiller) {
  for (size_t n : {size_t(0), size_t(3), size_t(5000), size_t(70000), size_t(300000)}) {
    Bytes data = random_bytes(n, uint32_t(n) + 1);
    if (n == 70000) data.assign(n, 0);  // a chunk cut by the length rule, then 4465 + filler
    std::vector<Cut> cuts = chunk_model::model_cut(data);
    for (size_t i = 0; i < cuts.size(); i++) {
      ChunkRecord rec = record_of(cuts[i]);
      EXPECT_EQ(real_bytes_match(&chunker_, cuts[i].bytes.data(), cuts[i].real,
                                 byte_before(cuts, i), buf_, rec),
                kChunkMatches)
          << "input " << n << " chunk " << i;
      // Stored bytes are the whole chunk, filler included, then padding.
      Bytes stored = cuts[i].bytes;
      stored.resize(padded_chunk_size(stored.size()), stored.back());
      stored.resize(stored.size() + 5000, 0x5A);  // what the store holds after it
      EXPECT_EQ(stored_chunk_matches(&chunker_, stored.data(), stored.size(), rec),
                kChunkMatches);
    }
  }
}

TEST_F(ChunkMatchTest, FillerOnlyChunkFollowsThePreviousChunksLastByte) {
  // A file that ends on a chunk boundary: its last record has real length
  // 0, and the filler continues from the file's last byte.
  Bytes probe = random_bytes(20000, 9);
  Bytes data(probe.begin(), probe.begin() + chunk_model::model_cut(probe)[0].real);
  std::vector<Cut> cuts = chunk_model::model_cut(data);
  ASSERT_EQ(cuts.size(), 2u);
  ASSERT_EQ(cuts[1].real, 0u);
  ChunkRecord rec = record_of(cuts[1]);
  EXPECT_EQ(real_bytes_match(&chunker_, nullptr, 0, data.back(), buf_, rec), kChunkMatches);
  if (data.back() != 0) {
    // The empty file's chunk (filler from 1) is another chunk.
    EXPECT_EQ(real_bytes_match(&chunker_, nullptr, 0, 0, buf_, rec), kChunkMismatch);
  }
}

TEST_F(ChunkMatchTest, DamagedOrMisplacedBytesDoNotMatch) {
  Bytes data = random_bytes(40000, 11);
  std::vector<Cut> cuts = chunk_model::model_cut(data);
  ASSERT_GE(cuts.size(), 3u);
  const Cut& c = cuts[1];
  ChunkRecord rec = record_of(c);
  Bytes bad = c.bytes;
  bad[bad.size() / 2] ^= 1;
  EXPECT_EQ(real_bytes_match(&chunker_, bad.data(), c.real, 0, buf_, rec), kChunkMismatch);
  EXPECT_EQ(stored_chunk_matches(&chunker_, bad.data(), bad.size(), rec), kChunkMismatch);
  // A record that claims more real bytes than the chunk holds: the chunker
  // ends the chunk before them.
  Bytes two(cuts[1].bytes);
  two.insert(two.end(), cuts[2].bytes.begin(), cuts[2].bytes.end());
  ChunkRecord longer = rec;
  longer.real_length = uint16_t(c.real + 10);
  EXPECT_EQ(real_bytes_match(&chunker_, two.data(), longer.real_length, 0, buf_, longer),
            kChunkMismatch);
  EXPECT_EQ(stored_chunk_matches(&chunker_, two.data(), two.size(), longer),
            kChunkMismatch);
  // Stored bytes that stop before the chunker ends the chunk.
  EXPECT_EQ(stored_chunk_matches(&chunker_, c.bytes.data(), c.bytes.size() - 1, rec),
            kChunkCutShort);
}

}  // namespace
