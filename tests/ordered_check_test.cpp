// Verified chunks settled in list order: every chunk comes out in the order
// it was added with its own verdict, a settle can be stopped at a chunk
// (the rest are dropped), and a full batch settles itself.
#include "client/ordered_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "chunk_model.h"

namespace {

using chunk_model::Bytes;
using chunk_model::Cut;

struct Seen {
  uint64_t index;
  bool matches;
};

class OrderedCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chunker_reset(chunker_.get());
    batch_clear(batch_.get());
    std::mt19937 gen(7);
    Bytes data(600000);
    for (auto& x : data) x = uint8_t(gen());
    cuts_ = chunk_model::model_cut(data);
    ASSERT_GT(cuts_.size(), 8u);
  }
  ChunkRecord record_of(size_t i, bool spoiled = false) const {
    ChunkRecord r{};
    memcpy(r.digest, cuts_[i].key.data(), kRecDigestSize);
    if (spoiled) r.digest[3] ^= 0x40;
    r.real_length = uint16_t(cuts_[i].real);
    r.offset = 1 + i;
    return r;
  }
  void add(size_t i, uint64_t index, bool spoiled = false) {
    const Bytes& b = cuts_[i].bytes;
    ASSERT_EQ(batch_add(batch_.get(), chunker_.get(), b.data(), b.size(), record_of(i, spoiled),
                        index),
              kChunkMatches);
  }
  auto recorder(std::vector<Seen>* seen, uint64_t stop_at = UINT64_MAX) {
    return [this, seen, stop_at](uint64_t index, const ChunkRecord& rec, const uint8_t* bytes,
                                 bool matches) {
      seen->push_back(Seen{index, matches});
      EXPECT_EQ(rec.offset, 1 + index % 1000);
      EXPECT_EQ(memcmp(bytes, cuts_[index % 1000].bytes.data(), rec.real_length), 0);
      return index != stop_at;
    };
  }
  std::vector<Cut> cuts_;
  std::unique_ptr<Chunker> chunker_ = std::make_unique<Chunker>();
  std::unique_ptr<VerifyBatch> batch_ = std::make_unique<VerifyBatch>();
};

TEST_F(OrderedCheckTest, ChunksComeOutInOrderWithTheirOwnVerdicts) {
  for (size_t i = 0; i < 6; i++) add(i, i, i == 2 || i == 4);
  std::vector<Seen> seen;
  EXPECT_TRUE(ordered_settle(batch_.get(), recorder(&seen)));
  ASSERT_EQ(seen.size(), 6u);
  for (size_t i = 0; i < 6; i++) {
    EXPECT_EQ(seen[i].index, i);
    EXPECT_EQ(seen[i].matches, i != 2 && i != 4) << i;
  }
  // Settled chunks are gone: a second settle hands out nothing.
  seen.clear();
  EXPECT_TRUE(ordered_settle(batch_.get(), recorder(&seen)));
  EXPECT_TRUE(seen.empty());
}

TEST_F(OrderedCheckTest, AStoppedSettleDropsTheChunksAfterAndASettleFromInsideFindsNone) {
  for (size_t i = 0; i < 5; i++) add(i, i, i == 1);
  std::vector<Seen> seen, inner;
  bool nested_ok = false;
  auto stop_at_bad = [&](uint64_t index, const ChunkRecord&, const uint8_t*, bool matches) {
    seen.push_back(Seen{index, matches});
    if (matches) return true;
    // The owner reports the fault, which settles again first.
    nested_ok = ordered_settle(batch_.get(), recorder(&inner));
    return false;
  };
  EXPECT_FALSE(ordered_settle(batch_.get(), stop_at_bad));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].matches);
  EXPECT_FALSE(seen[1].matches);
  EXPECT_TRUE(nested_ok);
  EXPECT_TRUE(inner.empty());
  EXPECT_EQ(batch_->count, 0u);
}

TEST_F(OrderedCheckTest, ATakeSettlesTheBatchOnceItIsFullAndReportsACutShortChunk) {
  std::vector<Seen> seen;
  uint64_t index = 0;
  OrderedTake t = kTakeWaiting;
  while (seen.empty()) {
    ASSERT_LT(index, 10 * kVerifyBatchChunks);
    size_t i = size_t(index % cuts_.size());
    const Bytes& b = cuts_[i].bytes;
    // Indices above 1000 name the same cuts again.
    t = ordered_take(batch_.get(), chunker_.get(), b.data(), b.size(), record_of(i),
                     index + 1000 * (index / cuts_.size()), recorder(&seen));
    index++;
  }
  EXPECT_EQ(t, kTakeWaiting);
  EXPECT_EQ(seen.size(), index);  // every chunk taken, in order, all good
  for (const Seen& s : seen) EXPECT_TRUE(s.matches);
  EXPECT_EQ(batch_->count, 0u);
  // Bytes that end before the chunker ends the chunk add nothing.
  const Bytes& b = cuts_[0].bytes;
  EXPECT_EQ(ordered_take(batch_.get(), chunker_.get(), b.data(), b.size() - 1, record_of(0), 0,
                         recorder(&seen)),
            kTakeCutShort);
  EXPECT_EQ(batch_->count, 0u);
}

}  // namespace
