#include "chunk/chunk_batch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tests/chunk_model.h"

namespace {

// Puts a chunk of `full` random bytes where the batch cuts, as chunker_cut
// would, and takes it.
uint32_t add_chunk(ChunkBatch* b, uint32_t full, std::mt19937* rng) {
  uint8_t* at = chunk_batch_cut_at(b);
  for (uint32_t i = 0; i < full; i++) at[i] = uint8_t((*rng)());
  return chunk_batch_take(b, full);
}

TEST(ChunkBatch, FullByCountOrByArenaAndEveryChunkStaysInside) {
  std::mt19937 rng(3);
  auto b = std::make_unique<ChunkBatch>();
  // Short chunks: the count limits the batch.
  chunk_batch_clear(b.get());
  for (size_t i = 0; i < kBatchChunks; i++) {
    ASSERT_FALSE(chunk_batch_full(b.get())) << i;
    EXPECT_EQ(add_chunk(b.get(), kMinChunkLength, &rng), i);
  }
  EXPECT_TRUE(chunk_batch_full(b.get()));
  // Longest chunks: the arena does, and the next chunk always fits whole.
  chunk_batch_clear(b.get());
  size_t n = 0;
  while (!chunk_batch_full(b.get())) {
    ASSERT_LE(chunk_batch_cut_at(b.get()) + kChunkBufferSize, b->arena + kBatchArenaSize);
    add_chunk(b.get(), kMaxChunkLength, &rng);
    n++;
  }
  EXPECT_GE(n, 4u);
  EXPECT_LT(n, kBatchChunks);
  // Chunks lie one after another, each at a multiple of 64.
  for (size_t i = 0; i < n; i++) {
    EXPECT_EQ(b->span[i].bytes, b->arena + i * padded_chunk_size(kMaxChunkLength));
    EXPECT_EQ(b->span[i].length, kMaxChunkLength);
  }
}

TEST(ChunkBatch, DigestsEveryChunkAndRestartKeepsTheChunkBeingCut) {
  std::mt19937 rng(5);
  auto b = std::make_unique<ChunkBatch>();
  chunk_batch_clear(b.get());
  std::vector<chunk_model::Key> want;
  for (uint32_t len : {100u, 101u, 126u, 127u, 5000u, 65535u, 300u, 64u}) {
    uint32_t i = add_chunk(b.get(), len, &rng);
    want.push_back(chunk_model::model_key(b->span[i].bytes, len));
  }
  chunk_batch_digest(b.get());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(0, memcmp(chunk_batch_key(b.get(), i), want[i].data(), kChunkKeySize)) << i;
  }
  // 777 bytes of a chunk being cut move to the front; the batch is empty.
  uint8_t* cutting = chunk_batch_cut_at(b.get());
  for (int i = 0; i < 777; i++) cutting[i] = uint8_t(i * 13 + 1);
  chunk_batch_restart(b.get(), 777);
  EXPECT_EQ(b->count, 0u);
  EXPECT_EQ(chunk_batch_cut_at(b.get()), b->arena);
  for (int i = 0; i < 777; i++) ASSERT_EQ(b->arena[i], uint8_t(i * 13 + 1)) << i;
}

}  // namespace
