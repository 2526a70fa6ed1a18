#include "chunk/index_fill.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "common/bytes.h"
#include "tests/index_table.h"

namespace {

TEST(IndexFill, WarnsOnlyPastHalfTheSlots) {
  EXPECT_EQ(kIndexFillWarnChunks, uint64_t(kIndexSlots) / 2);
  EXPECT_FALSE(index_fill_warns(0));
  EXPECT_FALSE(index_fill_warns(12119));
  EXPECT_FALSE(index_fill_warns(kIndexFillWarnChunks));
  EXPECT_TRUE(index_fill_warns(kIndexFillWarnChunks + 1));
  EXPECT_TRUE(index_fill_warns(kIndexSlots));
  EXPECT_TRUE(index_fill_warns(uint64_t(kIndexSlots) * 3));  // a store with more chunks than slots
  EXPECT_DOUBLE_EQ(index_fill_percent(kIndexSlots / 4), 25.0);
  EXPECT_DOUBLE_EQ(index_fill_percent(kIndexSlots), 100.0);
}

// The server counts the table only for a store large enough to be past the
// point: a smaller one cannot hold that many chunks of at least 128 bytes.
TEST(IndexFill, CountsOnlyStoresThatCanBePastThePoint) {
  uint64_t gate = 64;
  while (!index_fill_possible(gate)) gate += (1u << 20);
  // Coarse search, then the exact edge.
  uint64_t lo = gate - (1u << 20), hi = gate;
  while (hi - lo > 1) {
    uint64_t mid = lo + (hi - lo) / 2;
    (index_fill_possible(mid) ? hi : lo) = mid;
  }
  // Below the edge the most chunks a store can hold are not past the point;
  // at it they can be.
  EXPECT_FALSE(index_fill_warns((lo - 64) / 128));
  EXPECT_TRUE(index_fill_warns((hi - 64) / 128 + 1));
  EXPECT_GE((hi - 64) / 128, kIndexFillWarnChunks);
  EXPECT_FALSE(index_fill_possible(0));
  EXPECT_FALSE(index_fill_possible(64));
}

TEST(IndexFill, CountsTheOccupiedSlotsOfARealTable) {
  uint8_t* table = TestIndexTable::fresh();
  ASSERT_NE(table, nullptr);
  uint8_t key[16] = {};
  // Slot 0, the last slot, and an entry whose offset has only high bits.
  encode_index_slot(index_slot(table, 0), key, 1);
  encode_index_slot(index_slot(table, kIndexSlots - 1), key, 7);
  encode_index_slot(index_slot(table, 12345), key, uint64_t(1) << 36);
  EXPECT_EQ(index_count_entries(table), 3u);
  // A small store is not counted at all; a large one is.
  EXPECT_EQ(index_fill_at_start(1 << 30, table), 0u);
  EXPECT_EQ(index_fill_at_start(uint64_t(4) << 30, table), 3u);

  // Keys entered by the index itself, far below the point: none is lost.
  table = TestIndexTable::fresh();
  IndexContext ctx{};
  ctx.table = table;
  std::mt19937_64 rng(5);
  for (uint64_t i = 1; i <= 5000; i++) {
    for (int b = 0; b < 16; b += 8) store_le64(key + b, rng());
    ASSERT_FALSE(ChunkIndex::lookup_or_insert(&ctx, key, i));
  }
  EXPECT_EQ(index_count_entries(table), 5000u);
  TestIndexTable::release();
}

TEST(IndexFill, TheWarningSaysHowFullAndWhatToDo) {
  char buf[320];
  std::string w = index_fill_warning(buf, sizeof buf, 20132659);
  EXPECT_NE(w.find("60.0% full"), std::string::npos) << w;
  EXPECT_NE(w.find("20132659 distinct chunks"), std::string::npos) << w;
  EXPECT_NE(w.find("33554432 slots"), std::string::npos) << w;
  EXPECT_NE(w.find("past 50%"), std::string::npos) << w;
  EXPECT_NE(w.find("chunkcopy"), std::string::npos) << w;
  // Cut to the buffer, never beyond it.
  char small[16];
  memset(small, 'x', sizeof small);
  index_fill_warning(small, 10, 1);
  EXPECT_EQ(strlen(small), 9u);
}

}  // namespace
