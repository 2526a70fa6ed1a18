// Reading record lists across block boundaries, and the bytes of a record
// that a list ends inside.
#include "client/list_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class ListReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { (void)plat_file_remove(path_.c_str()); }

  // Writes n records (record i has real length i mod 65536 and ChunkOffset
  // i + 1) and then `stray` more bytes; reads them all back.
  void round_trip(size_t n, size_t stray) {
    std::vector<uint8_t> bytes(n * kChunkRecordSize + stray, 0x77);
    for (size_t i = 0; i < n; i++) {
      ChunkRecord r{};
      r.digest[0] = uint8_t(i);
      r.real_length = uint16_t(i);
      r.offset = i + 1;
      encode_chunk_record(bytes.data() + i * kChunkRecordSize, r);
    }
    PlatFile w = plat_file_create_write(path_.c_str());
    ASSERT_NE(w, kPlatNoFile);
    ASSERT_EQ(plat_file_write_all(w, bytes.data(), bytes.size()), 0);
    ASSERT_EQ(plat_file_close(w), 0);

    PlatFile f = plat_file_open_read(path_.c_str());
    ASSERT_NE(f, kPlatNoFile);
    ListReader l;
    list_open(&l, f, buf_.data());
    ChunkRecord r;
    ListStep step;
    size_t got = 0;
    while ((step = list_next(&l, &r)) == kListRecord) {
      ASSERT_EQ(r.offset, got + 1);
      ASSERT_EQ(r.real_length, uint16_t(got));
      ASSERT_EQ(r.digest[0], uint8_t(got));
      got++;
    }
    (void)plat_file_close(f);
    EXPECT_EQ(step, kListEnd);
    EXPECT_EQ(got, n);
    EXPECT_EQ(l.index, n);
    EXPECT_EQ(l.stray, stray);
  }

  std::string path_ = "list_reader_test_" + std::to_string(plat_process_id()) + ".tmp";
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(kListReadBlock);
};

TEST_F(ListReaderTest, EmptyList) { round_trip(0, 0); }

TEST_F(ListReaderTest, RecordsAcrossBlocksAndATrailingPartialRecord) {
  const size_t per_block = kListReadBlock / kChunkRecordSize;
  round_trip(per_block, 0);
  round_trip(per_block + 1, 0);
  round_trip(3 * per_block + 17, 20);
  round_trip(0, 13);
}

}  // namespace
