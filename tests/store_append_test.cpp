// The append rule the server and chunkcopy share: where a new chunk goes
// and what the index is told, up to the 40-bit offset limit.
#include "chunk/store_append.h"

#include <gtest/gtest.h>

#include <array>

#include "chunk/chunker.h"
#include "index_table.h"

namespace {

TEST(StoreAppend, KnownNewAndFullAsTheNextAppendPositionMoves) {
  IndexContext index{};
  index.table = TestIndexTable::fresh();
  ASSERT_NE(index.table, nullptr);
  auto key = [](uint8_t k) {
    std::array<uint8_t, kChunkKeySize> b{};
    b[0] = k;
    b[kChunkDigestSize] = 100;  // a full length of 100
    return b;
  };
  struct Step {
    uint8_t key;
    uint64_t at;  // where the next new chunk would go
    StorePlace want;
    uint64_t offset;
  };
  const uint64_t limit = kStoreOffsetLimit;
  const Step steps[] = {
      {1, 64, kPlaceNew, 1},                         // the first chunk, after the header
      {1, 192, kPlaceKnown, 1},                      // seen again: its first place
      {2, limit - 64, kPlaceNew, (limit - 64) / 64},  // the last place 40 bits name
      {3, limit, kPlaceFull, 0},                     // beyond: not stored, not entered
      {2, limit, kPlaceKnown, (limit - 64) / 64},    // known chunks are still answered
      {3, 256, kPlaceNew, 4},                        // the refused one was never entered
  };
  for (const Step& s : steps) {
    uint64_t offset = ~uint64_t(0);
    EXPECT_EQ(store_place_chunk(&index, key(s.key).data(), s.at, &offset), s.want)
        << "key " << int(s.key) << " at " << s.at;
    EXPECT_EQ(offset, s.offset) << "key " << int(s.key) << " at " << s.at;
  }
  TestIndexTable::release();
}

}  // namespace
