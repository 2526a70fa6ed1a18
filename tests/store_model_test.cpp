// The models the fuzz targets judge the server and the pack tool by: they
// must give the known records and store bytes themselves, or a fuzz run
// that agrees with them proves nothing.
#include "tests/store_model.h"

#include <gtest/gtest.h>

#include "tests/pack_model.h"

namespace {

using store_model::Bytes;
using store_model::Key;

Bytes hex(const char* s) {
  Bytes out;
  for (; s[0] && s[1]; s += 2) {
    while (*s == ' ') s++;
    out.push_back(uint8_t(std::stoi(std::string(s, 2), nullptr, 16)));
  }
  return out;
}

TEST(StoreModel, KnownRecordsAndStoreBytesOfAnEmptyStore) {
  store_model::Store s;
  Bytes abc = store_model::store_file(&s, Bytes{0x61, 0x62, 0x63});
  EXPECT_EQ(abc, hex("dec8520fdd0254d6450c15b4bbb6030001000000" "00"));
  ASSERT_EQ(s.file.size(), 320u);
  EXPECT_EQ(s.file[63], 0xCC);
  EXPECT_EQ(s.file[64 + 3], 0x64);
  EXPECT_EQ(s.file[64 + 237], 0x4E);  // the last filler byte, 0x64 + 234 wrapped
  EXPECT_EQ(s.file[319], 0x4E);       // padding repeats it
  Bytes empty = store_model::store_file(&s, Bytes{});
  EXPECT_EQ(empty, hex("6e1bd4d81b2a298dd95ac5311eac000005000000" "00"));
  EXPECT_EQ(s.file.size(), 320u + 192u);
  // Known again: nothing appended, the first offset answered.
  EXPECT_EQ(store_model::store_file(&s, Bytes{0x61, 0x62, 0x63}), abc);
  EXPECT_EQ(s.file.size(), 512u);
}

TEST(StoreModel, RebuildFindsWhatTheStorePassStoredAndPadsOddStores) {
  store_model::Store s;
  Bytes data(5000);
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7 + i / 300);
  Bytes first = store_model::store_file(&s, data);
  store_model::Store again;
  again.file = s.file;
  store_model::rebuild(&again);
  // Every stored chunk, the file's last with its filler too, is found where
  // it lies; the pass's own last chunk, of filler alone, is not entered.
  EXPECT_EQ(again.index, s.index);
  ASSERT_EQ(again.final_keys.size(), 1u);
  EXPECT_EQ(again.index.count(again.final_keys[0]), 0u);
  // A torn tail is padded with zeros before the next new chunk.
  again.file.push_back(9);
  size_t torn = again.file.size();
  store_model::store_file(&again, Bytes{1, 2, 3});
  EXPECT_EQ(again.file[torn], 0);
  EXPECT_EQ(again.file.size() % 64, 0u);
  EXPECT_GT(again.file.size(), (torn + 63) / 64 * 64);
}

TEST(StoreModel, SessionStopsAtQuitAndReadsMissingBytesAsMinusOne) {
  store_model::Store s;
  Bytes stream = {'f', 'i', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 2, 'h', 'i', 'q', 'u', 'i', 't', 'f'};
  store_model::Session q = store_model::serve(&s, stream);
  EXPECT_TRUE(q.quit);
  EXPECT_EQ(q.files, 1u);
  EXPECT_EQ(q.content, (Bytes{'h', 'i'}));
  // A length cut short takes the -1 arithmetic; the file then ends with
  // the input, and the next tag is no command.
  store_model::Session cut = store_model::serve(&s, Bytes{'f', 'i', 'l', 'e', 0, 0});
  EXPECT_FALSE(cut.quit);
  EXPECT_EQ(cut.files, 1u);
  EXPECT_EQ(cut.records.size(), 21u);
}

Key key_at_home(uint32_t home, uint8_t tag) {
  Key k{};
  k[0] = uint8_t(home);
  k[1] = uint8_t(home >> 8);
  k[2] = uint8_t(home >> 16);
  k[3] = uint8_t(home >> 24);
  k[4] = tag;
  return k;
}

TEST(StoreModel, CrowdingIsSeenOnlyWhenSeventeenHomesChain) {
  std::vector<Key> keys;
  for (int i = 0; i < 16; i++) keys.push_back(key_at_home(1000, uint8_t(i)));
  EXPECT_FALSE(store_model::crowded(keys));
  keys.push_back(key_at_home(1000, 99));
  EXPECT_TRUE(store_model::crowded(keys));
  // Seventeen homes 16 apart form one chain; 17 apart they do not.
  std::vector<Key> chain, apart;
  for (uint32_t i = 0; i < 17; i++) {
    chain.push_back(key_at_home(5000 + 16 * i, 0));
    apart.push_back(key_at_home(5000 + 17 * i, 0));
  }
  EXPECT_TRUE(store_model::crowded(chain));
  EXPECT_FALSE(store_model::crowded(apart));
  // A chain across the end of the table counts whole.
  std::vector<Key> wrap;
  for (uint32_t i = 0; i < 17; i++) wrap.push_back(key_at_home((0x1FFFFF8u + 4 * i) & 0x1FFFFFFu, 0));
  EXPECT_TRUE(store_model::crowded(wrap));
}

Bytes record(uint64_t offset, uint32_t length) {
  Bytes r(21, 0);
  r[14] = uint8_t(length);
  r[15] = uint8_t(length >> 8);
  for (int i = 0; i < 5; i++) r[16 + i] = uint8_t(offset >> (8 * i));
  return r;
}

TEST(PackModel, WorkedExampleAndStops) {
  Bytes store(64 * 20, 0);
  for (size_t i = 0; i < store.size(); i++) store[i] = uint8_t(i);
  Bytes older = record(10, 1);
  Bytes newer = record(5, 100);
  for (const Bytes& r : {record(7, 120), record(12, 130)}) newer.insert(newer.end(), r.begin(), r.end());
  pack_model::Result r = pack_model::pack(store, older, newer);
  ASSERT_EQ(r.stop, pack_model::kPacked);
  ASSERT_EQ(r.stream.size(), 144u);
  EXPECT_EQ(Bytes(r.stream.begin(), r.stream.begin() + 14),
            hex("00000000050002" "00000000000001"));
  EXPECT_EQ(r.stream[14], uint8_t(768));
  // A chunk past the store stops before its run; ChunkOffset 0 stops at
  // once, and the run it would have ended is not written.
  Bytes past = record(19, 65);
  EXPECT_EQ(pack_model::pack(store, older, past).stop, pack_model::kOutsideStore);
  Bytes header = newer;
  Bytes zero = record(0, 3);
  header.insert(header.begin() + 42, zero.begin(), zero.end());
  pack_model::Result h = pack_model::pack(store, older, header);
  EXPECT_EQ(h.stop, pack_model::kHeaderOffset);
  EXPECT_EQ(h.record, 2u);
  EXPECT_TRUE(h.stream.empty());
}

}  // namespace
