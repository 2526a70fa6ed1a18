#include "chunk/chunk_index.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "platform/plat.h"
#include "tests/index_table.h"

namespace {

using Key = std::array<uint8_t, 16>;
constexpr uint32_t kLast = kIndexSlots - 1;

// A key with the given home slot; tag fills the remaining key bytes so that
// different tags give different keys.
Key make_key(uint32_t home, uint32_t tag, uint16_t length = 300) {
  Key k;
  store_le32(k.data(), home | (tag << 25));
  for (int i = 4; i < 14; i++) k[i] = uint8_t(tag * 31 + i);
  store_le16(k.data() + 14, length);
  return k;
}

// The production table, shared by the whole suite: an anonymous mapping, so
// only the pages a test touches cost memory. Each test registers the slots
// it uses, and they are zeroed again after it.
class ChunkIndexTest : public ::testing::Test {
 protected:
  static uint8_t* table_;

  static void SetUpTestSuite() { table_ = TestIndexTable::fresh(); }
  static void TearDownTestSuite() {
    TestIndexTable::release();
    table_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(table_, nullptr);
    ctx_.table = table_;
    ctx_.found_offset = 0;
  }

  void TearDown() override {
    for (auto [first, count] : used_)
      for (uint32_t i = 0; i < count; i++)
        memset(index_slot(table_, (first + i) & kIndexSlotMask), 0, kIndexSlotSize);
  }

  // Registers slots first .. first + count - 1 (wrapping) for clearing.
  void use(uint32_t first, uint32_t count) { used_.push_back({first, count}); }

  bool lookup(const Key& k, uint64_t candidate = 0) {
    return ChunkIndex::lookup_or_insert(&ctx_, k.data(), candidate);
  }

  void put(uint32_t slot, const Key& k, uint64_t offset) {
    encode_index_slot(index_slot(table_, slot), k.data(), offset);
  }
  bool empty(uint32_t slot) { return load_le40(index_slot(table_, slot)) == 0; }
  uint64_t offset_at(uint32_t slot) { return load_le40(index_slot(table_, slot)); }
  Key key_at(uint32_t slot) {
    Key k;
    decode_index_slot(index_slot(table_, slot), k.data());
    return k;
  }
  std::vector<uint8_t> snapshot(uint32_t first, uint32_t count) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < count; i++) {
      const uint8_t* s = index_slot(table_, (first + i) & kIndexSlotMask);
      out.insert(out.end(), s, s + kIndexSlotSize);
    }
    return out;
  }

  IndexContext ctx_;
  std::vector<std::pair<uint32_t, uint32_t>> used_;
};
uint8_t* ChunkIndexTest::table_ = nullptr;

TEST_F(ChunkIndexTest, InsertIntoEmptyWindowWritesOnlyTheHomeSlotInSlotLayout) {
  const uint32_t home = 1000;
  use(home - 2, 20);
  Key k = make_key(home, 3);
  EXPECT_FALSE(lookup(k, 0x42));
  const uint8_t* s = index_slot(table_, home);
  EXPECT_EQ(load_le32(s), 0x42u);
  EXPECT_EQ(s[4], 0);
  EXPECT_EQ(s[5], k[13]);
  EXPECT_EQ(s[6], k[14]);
  EXPECT_EQ(s[7], k[15]);
  EXPECT_EQ(0, memcmp(s + 8, k.data(), 13));
  Key back;
  EXPECT_EQ(decode_index_slot(s, back.data()), 0x42u);
  EXPECT_EQ(back, k);
  for (uint32_t n : {home - 2, home - 1, home + 1, home + 2, home + 15})
    EXPECT_TRUE(empty(n)) << n;

  // A hit returns the stored offset, ignores the candidate, changes nothing.
  auto before = snapshot(home - 2, 20);
  EXPECT_TRUE(lookup(k, 0x99));
  EXPECT_EQ(ctx_.found_offset, 0x42u);
  EXPECT_EQ(snapshot(home - 2, 20), before);
}

TEST_F(ChunkIndexTest, CandidateZeroNeverChangesTheTable) {
  const uint32_t home = 2000;
  use(home, 20);
  for (uint32_t t = 0; t < 5; t++) ASSERT_FALSE(lookup(make_key(home, t), 10 + t));
  auto before = snapshot(home, 20);
  EXPECT_FALSE(lookup(make_key(home, 77)));
  EXPECT_FALSE(lookup(make_key(home + 7, 78)));
  EXPECT_TRUE(lookup(make_key(home, 2)));
  EXPECT_EQ(ctx_.found_offset, 12u);
  EXPECT_EQ(snapshot(home, 20), before);
}

TEST_F(ChunkIndexTest, ThreeOccupiedThenEmptyGivesNewKeyThenABC) {
  use(5, 20);
  Key a = make_key(5, 1), b = make_key(5, 2), c = make_key(5, 3), n = make_key(5, 4);
  put(5, a, 1);
  put(6, b, 2);
  put(7, c, 3);
  EXPECT_FALSE(lookup(n, 4));
  EXPECT_EQ(key_at(5), n);
  EXPECT_EQ(key_at(6), a);
  EXPECT_EQ(key_at(7), b);
  EXPECT_EQ(key_at(8), c);
  EXPECT_EQ(offset_at(5), 4u);
  EXPECT_EQ(offset_at(6), 1u);
  EXPECT_EQ(offset_at(8), 3u);
  EXPECT_TRUE(empty(9));
}

TEST_F(ChunkIndexTest, WrappingWindowMovesTheEntryInTheLastSlot) {
  const uint32_t home = kIndexSlots - 2;
  use(home, 20);
  Key a = make_key(home, 1), b = make_key(home, 2), c = make_key(home, 3), d = make_key(home, 4);
  Key n = make_key(home, 5);
  put(home, a, 1);
  put(kLast, b, 2);
  put(0, c, 3);
  put(1, d, 4);
  EXPECT_FALSE(lookup(n, 5));
  EXPECT_EQ(key_at(home), n);
  EXPECT_EQ(key_at(kLast), a);
  EXPECT_EQ(key_at(0), c);
  EXPECT_EQ(key_at(1), d);
  EXPECT_EQ(key_at(2), b);
  EXPECT_TRUE(empty(3));
  const std::vector<std::pair<Key, uint64_t>> all = {{a, 1}, {b, 2}, {c, 3}, {d, 4}, {n, 5}};
  for (const auto& [k, off] : all) {
    EXPECT_TRUE(lookup(k));
    EXPECT_EQ(ctx_.found_offset, off);
  }
}

TEST_F(ChunkIndexTest, SeventeenthKeyEvictsExactlyOne) {
  // A window that does not wrap drops its last entry.
  const uint32_t home = 3000;
  use(home, 20);
  std::vector<Key> keys;
  for (uint32_t t = 0; t < 16; t++) {
    keys.push_back(make_key(home, t));
    ASSERT_FALSE(lookup(keys.back(), 100 + t));
  }
  EXPECT_TRUE(empty(home + 16));
  Key doomed = key_at(home + 15);
  keys.push_back(make_key(home, 16));
  EXPECT_FALSE(lookup(keys.back(), 116));
  EXPECT_TRUE(empty(home + 16));
  EXPECT_EQ(key_at(home), keys.back());
  int lost = 0;
  for (const Key& k : keys) {
    if (!lookup(k)) {
      lost++;
      EXPECT_EQ(k, doomed);
    }
  }
  EXPECT_EQ(lost, 1);

  // A window that wraps drops the entry in the table's last slot.
  const uint32_t whome = kIndexSlots - 6;
  use(whome, 20);
  for (uint32_t i = 0; i < 16; i++) put((whome + i) & kIndexSlotMask, make_key(whome, i), 1 + i);
  Key last_slot_key = key_at(kLast);
  EXPECT_FALSE(lookup(make_key(whome, 99), 500));
  EXPECT_FALSE(lookup(last_slot_key));
  EXPECT_TRUE(empty(10));
  for (uint32_t i = 0; i < 16; i++) EXPECT_FALSE(empty((whome + i) & kIndexSlotMask)) << i;
}

TEST_F(ChunkIndexTest, KeysDifferingInOneByteAreDistinct) {
  const uint32_t home = 4000;
  use(home, 20);
  Key base = make_key(home, 8, 300);
  ASSERT_FALSE(lookup(base, 1));
  std::vector<Key> variants;
  for (int byte : {15, 14, 13, 12, 4}) {
    Key v = base;
    v[byte] ^= 0x01;
    variants.push_back(v);
  }
  for (const Key& v : variants) EXPECT_FALSE(lookup(v)) << "unchanged table must not match";
  uint64_t off = 2;
  for (const Key& v : variants) EXPECT_FALSE(lookup(v, off++));
  off = 2;
  for (const Key& v : variants) {
    EXPECT_TRUE(lookup(v));
    EXPECT_EQ(ctx_.found_offset, off++);
  }
  EXPECT_TRUE(lookup(base));
  EXPECT_EQ(ctx_.found_offset, 1u);
}

TEST_F(ChunkIndexTest, OffsetsKeepFortyBits) {
  const uint32_t home = 5000;
  use(home, 20);
  Key high = make_key(home, 1);
  ASSERT_FALSE(lookup(high, 0xAB12345678ull));
  EXPECT_EQ(index_slot(table_, home)[4], 0xAB);
  EXPECT_TRUE(lookup(high, 7));
  EXPECT_EQ(ctx_.found_offset, 0xAB12345678ull);

  Key wide = make_key(home, 2);
  ASSERT_FALSE(lookup(wide, (1ull << 44) | 0x80000005ull));
  EXPECT_TRUE(lookup(wide));
  EXPECT_EQ(ctx_.found_offset, 0x80000005ull);

  // An offset with no bit below bit 40 would read as an empty slot and hide
  // the entries behind it; it is not entered.
  auto before = snapshot(home, 20);
  EXPECT_FALSE(lookup(make_key(home, 3), 1ull << 40));
  EXPECT_EQ(snapshot(home, 20), before);
}

TEST_F(ChunkIndexTest, KeyPushedPastItsWindowIsInsertedAgain) {
  const uint32_t home = 6000;
  use(home, 24);
  Key x = make_key(home, 1);
  ASSERT_FALSE(lookup(x, 1));
  for (uint32_t t = 0; t < 15; t++) ASSERT_FALSE(lookup(make_key(home, 10 + t), 10 + t));
  EXPECT_EQ(key_at(home + 15), x);
  // A key homed one slot later gathers x as the last of a shorter run and
  // moves it to slot home + 16, outside x's own window.
  ASSERT_FALSE(lookup(make_key(home + 1, 50), 50));
  EXPECT_EQ(key_at(home + 16), x);
  EXPECT_FALSE(lookup(x));

  EXPECT_FALSE(lookup(x, 2));
  EXPECT_EQ(key_at(home), x);
  EXPECT_EQ(offset_at(home), 2u);
  EXPECT_EQ(key_at(home + 16), x);
  EXPECT_EQ(offset_at(home + 16), 1u);
  EXPECT_TRUE(lookup(x));
  EXPECT_EQ(ctx_.found_offset, 2u);
}

// Many keys crowded onto a few home slots, some near the table's end: a
// key that is found always answers with the offset of its latest insertion,
// the key inserted last is always found, and no slot in the crowded area
// is ever emptied.
TEST_F(ChunkIndexTest, CrowdedHomesNeverAnswerAStaleOffset) {
  use(kIndexSlots - 40, 40 + 100);
  std::mt19937 rng(2024);
  std::map<Key, uint64_t> latest;
  std::vector<Key> pool;
  uint64_t next_offset = 1;
  for (int i = 0; i < 20000; i++) {
    Key k;
    if (!pool.empty() && rng() % 3 == 0) {
      k = pool[rng() % pool.size()];
    } else {
      uint32_t home = (kIndexSlots - 32 + rng() % 96) & kIndexSlotMask;
      for (auto& b : k) b = uint8_t(rng());
      store_le32(k.data(), (load_le32(k.data()) & ~kIndexSlotMask) | home);
      pool.push_back(k);
    }
    uint64_t cand = next_offset++;
    bool found = lookup(k, cand);
    if (found) {
      ASSERT_EQ(ctx_.found_offset, latest.at(k)) << i;
    } else {
      latest[k] = cand;
      ASSERT_TRUE(lookup(k)) << i;
      ASSERT_EQ(ctx_.found_offset, cand) << i;
    }
  }
  for (uint32_t s = kIndexSlots - 32; s != 64; s = (s + 1) & kIndexSlotMask)
    EXPECT_FALSE(empty(s)) << s;
}

}  // namespace
