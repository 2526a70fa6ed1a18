#include "server/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "chunk/simd_width.h"
#include "common/record.h"
#include "tests/index_table.h"
#include "tests/pass_stand_in.h"
#include "tests/scratch_dir.h"
#include "tests/simd_widths.h"
#include "tests/store_model.h"

namespace {

constexpr size_t kOutSize = 32768;

// Runs one store-mode pass over an in-memory file, the way a client
// Connection does: the whole file is in the input buffer and the peer has
// closed, so the pass ends with the file.
using PassRun = PassStandIn<kOutSize + 32>;

class StorePassTest : public ::testing::Test {
 protected:
  // Every test starts from an empty index; the suite gives the table back.
  static void TearDownTestSuite() { TestIndexTable::release(); }
  void SetUp() override {
    table_ = TestIndexTable::fresh();
    ASSERT_NE(table_, nullptr);
  }

  // Stores `data`; returns the record batches in the order the pass yielded
  // them (each batch is what filled the output buffer, the last one what was
  // left when it returned).
  std::vector<std::vector<uint8_t>> store(const std::vector<uint8_t>& data, PlatFile f,
                                          StoreTail tail = StoreTail{0, 0}) {
    auto r = std::make_unique<PassRun>();
    r->prepare(f, table_);
    pass_set_tail(&r->pass, tail);
    r->in_cur = const_cast<uint8_t*>(data.data());
    r->in_end = r->in_cur + data.size();
    r->closed = 1;
    r->length = data.size();
    std::vector<std::vector<uint8_t>> batches;
    for (;;) {
      r->out_cur = r->out;
      r->out_end = r->out + kOutSize;
      coro_resume(&r->co);
      batches.emplace_back(r->out, r->out_cur);
      if (r->co.yield_code == kCoReturned) return batches;
      EXPECT_EQ(r->co.yield_code, kCoWaitOutput);
    }
  }

  // Stores `data` arriving in spans of the sizes next_span gives (called with
  // the bytes left), the peer closing after the last; returns all records.
  template <class SpanFn>
  std::vector<uint8_t> store_in_spans(const std::vector<uint8_t>& data, PlatFile f, SpanFn next_span) {
    auto r = std::make_unique<PassRun>();
    r->prepare(f, table_);
    size_t fed = 0;
    r->in_cur = r->in_end = const_cast<uint8_t*>(data.data());
    r->closed = data.empty();
    r->length = data.size();
    std::vector<uint8_t> records;
    r->out_cur = r->out;
    r->out_end = r->out + kOutSize;
    for (;;) {
      coro_resume(&r->co);
      records.insert(records.end(), r->out, r->out_cur);
      r->out_cur = r->out;
      if (r->co.yield_code == kCoReturned) return records;
      if (r->co.yield_code == kCoWaitInput) {
        EXPECT_EQ(r->in_cur, r->in_end);
        size_t n = next_span(data.size() - fed);
        r->in_cur = const_cast<uint8_t*>(data.data()) + fed;
        r->in_end = r->in_cur + n;
        fed += n;
        r->closed = fed == data.size();
      }
    }
  }

  static std::vector<uint8_t> random_data(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
  }

  std::vector<uint8_t> read_file() {
    PlatFile f = plat_file_open_read(path_.c_str());
    std::vector<uint8_t> v(64 << 20);
    long n = plat_file_read_full(f, v.data(), v.size());
    plat_file_close(f);
    v.resize(size_t(n));
    return v;
  }

  uint8_t* table_ = nullptr;
  ScratchDir dir_;
  std::string path_ = dir_.file("store.dump");
};

static std::vector<uint8_t> joined(const std::vector<std::vector<uint8_t>>& batches) {
  std::vector<uint8_t> all;
  for (const auto& b : batches) all.insert(all.end(), b.begin(), b.end());
  return all;
}

TEST_F(StorePassTest, RecordThatCrossesTheOutputEndYieldsAndEveryRecordRestores) {
  auto data = random_data(1 << 20, 1);
  PlatFile f = plat_file_open_always_rw(path_.c_str());
  auto batches = store(data, f);
  plat_file_close(f);
  ASSERT_GE(batches.size(), 2u);
  // Records are written while the cursor is below the end; the 1561st is
  // the first to reach past it.
  EXPECT_EQ(batches[0].size(), 1561 * kChunkRecordSize);
  std::vector<uint8_t> store_bytes = read_file();
  EXPECT_EQ(store_bytes.size() % kChunkAlign, 0u);
  std::vector<uint8_t> back;
  for (const auto& b : batches) {
    ASSERT_EQ(b.size() % kChunkRecordSize, 0u);
    for (size_t i = 0; i < b.size(); i += kChunkRecordSize) {
      ChunkRecord r = decode_chunk_record(&b[i]);
      uint64_t at = r.offset * kChunkAlign;
      ASSERT_LE(at + r.real_length, store_bytes.size());
      back.insert(back.end(), store_bytes.begin() + long(at),
                  store_bytes.begin() + long(at + r.real_length));
    }
  }
  EXPECT_EQ(back, data);
}

// A store that cannot be written ends the process with status 3 before the
// record of the chunk that failed is emitted.
TEST_F(StorePassTest, FailedAppendExitsWithStatus3) {
  auto data = random_data(200000, 2);
  if (!plat_limit_file_size(~uint64_t(0))) GTEST_SKIP() << "no file size limit here";
  auto store_with_small_file_limit = [&] {
    plat_limit_file_size(4096);
    store(data, plat_file_open_always_rw(path_.c_str()));
  };
  EXPECT_EXIT(store_with_small_file_limit(), ::testing::ExitedWithCode(3),
              "cannot append chunks at byte [0-9]+ of \"\\$dump\"");
  std::vector<uint8_t> cut = read_file();

  // The same data stored without a limit: where its chunks begin and end.
  path_ = dir_.file("unlimited.dump");
  table_ = TestIndexTable::fresh();
  ASSERT_NE(table_, nullptr);
  PlatFile f = plat_file_open_always_rw(path_.c_str());
  std::vector<uint8_t> records = joined(store(data, f));
  plat_file_close(f);
  std::vector<uint8_t> whole = read_file();
  std::vector<uint64_t> ends;
  for (size_t i = kChunkRecordSize; i < records.size(); i += kChunkRecordSize)
    ends.push_back(decode_chunk_record(&records[i]).offset * kChunkAlign);
  ends.push_back(whole.size());
  ASSERT_GT(ends.size(), 2u);
  ASSERT_LT(ends.front(), 4096u);

  // The limited store is the header and the whole padded chunks that fit
  // below the limit, byte for byte, and nothing of the chunk that did not.
  ASSERT_LE(cut.size(), whole.size());
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin()));
  uint64_t fit = kStoreHeaderSize;
  for (uint64_t e : ends)
    if (e <= 4096) fit = e;
  EXPECT_EQ(cut.size(), fit);
}

// A store that ends in a torn chunk (stray bytes, or an append cut short
// at a multiple of 64, where no padding would be added): chunks appended
// after a restart must be found by every later rebuild, not stored again.
TEST_F(StorePassTest, TornTailIsSteppedOverSoLaterRebuildsFindLaterChunks) {
  // Small files: each chunk touches a page of a fresh index table.
  auto a = random_data(40000, 4);
  auto b = random_data(40000, 5);
  for (size_t torn_size : {size_t(37), size_t(1024)}) {
    SCOPED_TRACE(torn_size);
    (void)plat_file_remove(path_.c_str());
    PlatFile f = plat_file_open_always_rw(path_.c_str());
    store(a, f);
    auto torn = random_data(torn_size, 6);
    ASSERT_EQ(plat_file_write_all(f, torn.data(), torn.size()), 0);
    uint64_t size = 0;
    ASSERT_EQ(plat_file_seek(f, 0, kSeekEnd, &size), 0);
    plat_file_close(f);

    // First restart: the rebuild sees the torn chunk and names where new
    // chunks must go; the store pass fills up to there with zeros.
    table_ = TestIndexTable::fresh();
    ASSERT_NE(table_, nullptr);
    f = plat_file_open_always_rw(path_.c_str());
    StoreTail tail;
    ASSERT_TRUE(store_rebuild_index(f, table_, &tail));
    const uint64_t resync = tail.resync_at;
    EXPECT_GT(resync, size);
    EXPECT_EQ(resync % kChunkAlign, 0u);
    EXPECT_LE(resync - size, uint64_t(65536 + kChunkAlign));
    EXPECT_EQ(tail.fill, 0);
    auto first = joined(store(b, f, tail));
    ASSERT_EQ(decode_chunk_record(first.data()).offset * kChunkAlign, resync);
    plat_file_close(f);
    std::vector<uint8_t> stored = read_file();
    for (uint64_t i = size; i < resync; i++) ASSERT_EQ(stored[i], 0) << i;

    // Second restart: every chunk of b is found where it was stored.
    table_ = TestIndexTable::fresh();
    ASSERT_NE(table_, nullptr);
    f = plat_file_open_always_rw(path_.c_str());
    ASSERT_TRUE(store_rebuild_index(f, table_, &tail));
    EXPECT_EQ(tail.resync_at, 0u);  // the store ends cleanly now
    EXPECT_EQ(joined(store(b, f, tail)), first);
    plat_file_close(f);
    EXPECT_EQ(read_file().size(), stored.size());
  }
}

TEST_F(StorePassTest, NewChunkBeyondFortyBitOffsetsIsRefused) {
  // A sparse store of exactly 2^46 bytes; tmpfs allows one that large.
  path_ = "/dev/shm/store_test_" + std::to_string(plat_process_id()) + ".dump";
  PlatFile f = plat_file_open_always_rw(path_.c_str());
  if (f == kPlatNoFile) GTEST_SKIP() << "no /dev/shm";
  uint8_t header[kStoreHeaderSize];
  memset(header, kStoreHeaderByte, sizeof header);
  ASSERT_EQ(plat_file_write_all(f, header, sizeof header), 0);
  if (plat_file_seek(f, int64_t(kStoreOffsetLimit) - 1, kSeekBegin, nullptr) != 0 ||
      plat_file_write_all(f, header, 1) != 0) {
    plat_file_close(f);
    GTEST_SKIP() << "no sparse file of 2^46 bytes here";
  }
  auto data = random_data(1000, 3);
  EXPECT_EXIT(store(data, f), ::testing::ExitedWithCode(3), "store is full");
  plat_file_close(f);
  (void)plat_file_remove(path_.c_str());
}

// Every vector width (forced) gives the records and store bytes of the plain
// model, with the input arriving in spans of any size; a rebuild from the
// store it wrote then knows every chunk at the offset first given.
TEST_F(StorePassTest, EveryWidthGivesTheModelsRecordsAndStoreBytes) {
  std::mt19937 rng(17);
  std::vector<uint8_t> data = random_data(400000, 3);
  data.insert(data.end(), 140000, 0);  // cut by the length rule
  for (int i = 0; i < 20000; i++) data.insert(data.end(), {'a', 'b', 'c', 'd', 'e', 'f', 'g'});
  for (int i = 0; i < 200000; i++) data.push_back(uint8_t(rng() % 2));
  std::vector<uint8_t> fresh = random_data(100000, 4);
  for_each_width([&](SimdWidth) {
    table_ = TestIndexTable::fresh();
    ASSERT_NE(table_, nullptr);
    (void)plat_file_remove(path_.c_str());
    PlatFile f = plat_file_open_always_rw(path_.c_str());
    auto spans = [&](size_t left) {
      size_t n = rng() % 4 == 0 ? 1 + rng() % 30 : 1 + rng() % 70000;
      return std::min(n, left);
    };
    store_model::Store model;
    EXPECT_EQ(store_in_spans(data, f, spans), store_model::store_file(&model, data));
    EXPECT_EQ(store_in_spans(data, f, spans), store_model::store_file(&model, data));
    EXPECT_EQ(read_file(), model.file);

    table_ = TestIndexTable::fresh();
    ASSERT_NE(table_, nullptr);
    StoreTail tail{1, 1};
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(store_rebuild_index(f, table_, &tail));
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(tail.resync_at, 0u);
    std::vector<uint8_t> both = data;
    both.insert(both.end(), fresh.begin(), fresh.end());
    EXPECT_EQ(store_in_spans(both, f, spans), store_model::store_file(&model, both));
    EXPECT_EQ(read_file(), model.file);
    plat_file_close(f);
  });
}

}  // namespace
