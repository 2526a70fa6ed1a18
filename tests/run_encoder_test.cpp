#include "pack/run_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/record.h"

namespace {

using Bytes = std::string;

Bytes rec(uint64_t offset, uint16_t length) {
  uint8_t r[kChunkRecordSize];
  memset(r, 0xAB, kRecDigestSize);
  store_le16(r + kRecLength, length);
  store_le40(r + kRecOffset, offset);
  return Bytes(reinterpret_cast<char*>(r), sizeof r);
}

Bytes run_header(uint64_t offset, uint16_t count) {
  uint8_t h[kRunHeaderSize];
  encode_run_header(h, offset, count);
  return Bytes(reinterpret_cast<char*>(h), sizeof h);
}

// A store file: the header, then distinct bytes up to `size`, so that any
// wrongly placed read shows.
Bytes make_store(size_t size) {
  Bytes s(size, '\0');
  for (size_t i = 0; i < size; i++) s[i] = i < kStoreHeaderSize ? char(0xCC) : char(i * 7 + i / 251);
  return s;
}

class RunEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "run_encoder_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_";
    ps_ = std::make_unique<PackState>();
  }
  void TearDown() override {
    for (PlatFile f : open_) plat_file_close(f);
    for (const std::string& p : paths_) plat_file_remove(p.c_str());
  }

  std::string write_file(const std::string& name, const Bytes& data) {
    std::string p = dir_ + name;
    PlatFile f = plat_file_create_write(p.c_str());
    EXPECT_NE(f, kPlatNoFile);
    EXPECT_EQ(plat_file_write_all(f, data.data(), data.size()), 0);
    plat_file_close(f);
    paths_.push_back(p);
    return p;
  }
  PlatFile keep(PlatFile f) {
    EXPECT_NE(f, kPlatNoFile);
    open_.push_back(f);
    return f;
  }
  // Both passes in memory: the lists are fed in blocks of `block` bytes and
  // every write of the output buffer is recorded. Returns ps->fault.kind.
  // The encoder learns the store's size from `store_size` when it is given.
  int32_t encode(const Bytes& older, const Bytes& newer, const Bytes& store,
                 size_t block = 65536, uint64_t store_size = 0) {
    ps_->store = keep(plat_file_open_read(write_file("store", store).c_str()));
    memset(&ps_->fault, 0, sizeof ps_->fault);
    ps_->store_size = store_size ? store_size : store.size();
    out_.clear();
    writes_.clear();
    ps_->pass = 0;
    drive(older, block);
    EXPECT_EQ(out_, "");  // pass 0 writes nothing
    writes_.clear();
    ps_->pass = 1;
    drive(newer, block);
    return ps_->fault.kind;
  }
  void drive(const Bytes& list, size_t block) {
    FileCoroutine* fc = &ps_->fc;
    coro_init(&fc->co, run_encoder, kFcFinished);
    fc->in_cur = fc->in_start = fc->in_end = nullptr;
    fc->end_of_input = 0;
    fc->out_cur = fc->out_start = out_buf_;
    fc->out_end = out_buf_ + kFileBlockSize;
    size_t pos = 0;
    for (;;) {
      coro_resume(&fc->co);
      int32_t code = fc->co.yield_code;
      if (code == kFcNeedInput) {
        size_t n = std::min(block, list.size() - pos);
        memcpy(in_buf_, list.data() + pos, n);
        pos += n;
        if (n == 0) fc->end_of_input = 1;
        fc->in_cur = fc->in_start = in_buf_;
        fc->in_end = in_buf_ + n;
      } else {
        ASSERT_TRUE(code == kFcOutputFull || code == kFcFinished) << code;
        writes_.push_back(size_t(fc->out_cur - fc->out_start));
        out_.append(reinterpret_cast<char*>(fc->out_start), writes_.back());
        fc->out_cur = fc->out_start = out_buf_;
        if (code == kFcFinished) return;
      }
    }
  }

  std::string dir_;
  std::vector<std::string> paths_;
  std::vector<PlatFile> open_;
  std::unique_ptr<PackState> ps_;
  uint8_t in_buf_[kFileBlockSize];
  uint8_t out_buf_[kFileBlockSize];
  Bytes out_;
  std::vector<size_t> writes_;
};

TEST_F(RunEncoderTest, WorkedExampleInAnyInputBlocking) {
  Bytes store = make_store(1024);
  Bytes older = rec(3, 10) + rec(10, 64) + rec(4, 1);
  Bytes newer = rec(5, 100) + rec(7, 120) + rec(12, 130);
  Bytes want = run_header(5, 2) + run_header(0, 1) + store.substr(768, 130);
  ASSERT_EQ(want.size(), 144u);
  ASSERT_EQ(want.substr(0, 14), Bytes("\0\0\0\0\x05\0\x02\0\0\0\0\0\0\x01", 14));
  for (size_t block : {size_t(1), size_t(5), size_t(21), size_t(22), size_t(65536)}) {
    SCOPED_TRACE(block);
    EXPECT_EQ(encode(older, newer, store, block), kPackFaultNone);
    EXPECT_EQ(ps_->largest_older, 10u);
    EXPECT_EQ(out_, want);
    EXPECT_EQ(writes_, std::vector<size_t>{144});
  }
}

TEST_F(RunEncoderTest, EmptyListsAndTrailingPartialRecord) {
  Bytes store = make_store(4096);
  EXPECT_EQ(encode(rec(9, 1), "", store), kPackFaultNone);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(writes_, std::vector<size_t>{0});
  // Empty older list: everything is literal, even offset 1.
  EXPECT_EQ(encode("", rec(1, 3) + rec(2, 2), store), kPackFaultNone);
  EXPECT_EQ(ps_->largest_older, 0u);
  EXPECT_EQ(out_, run_header(0, 2) + store.substr(64, 3) + store.substr(128, 2));
  // An incomplete last record (in either list) is ignored.
  EXPECT_EQ(encode(rec(3, 1) + rec(50, 1).substr(0, 20), rec(3, 64) + rec(4, 1).substr(0, 7), store),
            kPackFaultNone);
  EXPECT_EQ(ps_->largest_older, 3u);
  EXPECT_EQ(out_, run_header(3, 1));
}

TEST_F(RunEncoderTest, RunsEndAtGapsStepsBackKindChangesAndRepeats) {
  Bytes store = make_store(64 * 40);
  Bytes newer = rec(1, 64) + rec(2, 65) + rec(4, 1)     // one run: 1 -> 2 -> 4 -> 5
                + rec(6, 1)                             // gap
                + rec(3, 1)                             // step back
                + rec(3, 1) + rec(4, 64) + rec(5, 10)   // the same chunk again, then on
                + rec(6, 2)                             // equal to the largest: reference
                + rec(7, 0) + rec(7, 0) + rec(7, 5)     // literal; length 0 steps by 0
                + rec(9, 1);                            // gap in literals
  EXPECT_EQ(encode(rec(6, 1), newer, store), kPackFaultNone);
  Bytes want = run_header(1, 3) + run_header(6, 1) + run_header(3, 1) + run_header(3, 4) +
               run_header(0, 3) + store.substr(7 * 64, 5) + run_header(0, 1) +
               store.substr(9 * 64, 1);
  EXPECT_EQ(out_, want);
  // The longest chunk steps by 1024.
  EXPECT_EQ(encode(rec(2049, 1), rec(1, 65535) + rec(1025, 65535) + rec(2049, 1), store),
            kPackFaultNone);
  EXPECT_EQ(out_, run_header(1, 3));
}

TEST_F(RunEncoderTest, RunOf65536RecordsSplitsAt65535) {
  Bytes newer;
  for (uint64_t i = 0; i < 65536; i++) newer += rec(1 + i, 64);
  EXPECT_EQ(encode(rec(65536, 64), newer, make_store(64)), kPackFaultNone);
  EXPECT_EQ(out_, run_header(1, 0xFFFF) + run_header(65536, 1));
}

TEST_F(RunEncoderTest, PackOfExactly65536BytesIsOneFullBlockThenAnEmptyOne) {
  Bytes store = make_store(64 + 65536 + 64);
  EXPECT_EQ(encode("", rec(1, 65529), store), kPackFaultNone);
  EXPECT_EQ(writes_, (std::vector<size_t>{65536, 0}));
  EXPECT_EQ(out_, run_header(0, 1) + store.substr(64, 65529));
  EXPECT_EQ(encode("", rec(1, 65530), store), kPackFaultNone);
  EXPECT_EQ(writes_, (std::vector<size_t>{65536, 1}));
}

TEST_F(RunEncoderTest, ChunksTheStoreCannotGiveWholeAreFaults) {
  Bytes store = make_store(1000);  // chunk 15 starts at 960 and has 40 bytes
  EXPECT_EQ(encode("", rec(15, 40), store), kPackFaultNone);
  EXPECT_EQ(encode("", rec(15, 40) + rec(2, 5) + rec(3, 1) + rec(15, 41), store),
            kPackFaultChunkOutsideStore);
  EXPECT_EQ(ps_->fault.record_index, 3u);
  EXPECT_EQ(ps_->fault.offset, 15u);
  EXPECT_EQ(ps_->fault.length, 41u);
  EXPECT_EQ(ps_->fault.store_size, 1000u);
  // Undefined bytes never reach the pack: it ends after the last whole run.
  EXPECT_EQ(out_, run_header(0, 1) + store.substr(960, 40) + run_header(0, 2) +
                      store.substr(128, 5) + store.substr(192, 1));
  EXPECT_EQ(encode("", rec(3, 1) + rec(16, 0), store), kPackFaultChunkOutsideStore);
  EXPECT_EQ(ps_->fault.record_index, 1u);
  EXPECT_EQ(encode("", rec(1ull << 39, 65535), store), kPackFaultChunkOutsideStore);

  // A store that is shorter than its length said (it shrank): the read
  // comes short.
  EXPECT_EQ(encode("", rec(3, 1) + rec(15, 40), store.substr(0, 990), 65536, 1000),
            kPackFaultChunkRead);
  EXPECT_EQ(ps_->fault.record_index, 1u);
  EXPECT_EQ(ps_->fault.error, 0);
}

TEST_F(RunEncoderTest, LiteralRunsLongerThanOneStoreReadBlock) {
  // One literal run of about 3 MiB: chunks of every padding remainder, of
  // length 0 and of the longest length, so that chunks straddle each read
  // block's end in many ways. Every chunk's real bytes, nothing of its padding.
  Bytes store = make_store(4u << 20);
  Bytes newer, want_bytes;
  uint64_t off = 1;
  uint32_t count = 0;
  for (uint32_t i = 0; (off << kChunkAlignShift) + 70000 < 3u << 20; i++) {
    uint16_t len = i % 9 == 8 ? 65535 : i % 17 == 5 ? 0 : uint16_t(100 + (i * 2671) % 9000);
    newer += rec(off, len);
    want_bytes += store.substr(off << kChunkAlignShift, len);
    off += padded_chunk_size(len) >> kChunkAlignShift;
    count++;
  }
  ASSERT_GT(want_bytes.size(), 2 * kStoreReadBlock);
  EXPECT_EQ(encode("", newer, store), kPackFaultNone);
  EXPECT_EQ(out_, run_header(0, uint16_t(count)) + want_bytes);

  // The store ends inside the run's third block: the chunks before the end
  // are written, the one it cuts is the fault.
  size_t cut = 2 * kStoreReadBlock + 5000;
  uint64_t first_cut = 0, bytes_before = 0;
  for (uint64_t i = 0; i < count; i++) {
    uint64_t o = load_le40(reinterpret_cast<const uint8_t*>(newer.data()) + i * 21 + kRecOffset);
    uint16_t len = load_le16(reinterpret_cast<const uint8_t*>(newer.data()) + i * 21 + kRecLength);
    if ((o << kChunkAlignShift) + len > cut && len > 0) {
      first_cut = i;
      break;
    }
    bytes_before += len;
  }
  EXPECT_EQ(encode("", newer, store.substr(0, cut), 65536, store.size()), kPackFaultChunkRead);
  EXPECT_EQ(ps_->fault.record_index, first_cut);
  EXPECT_EQ(ps_->fault.error, 0);
  EXPECT_EQ(out_, run_header(0, uint16_t(count)) + want_bytes.substr(0, bytes_before));
}

TEST_F(RunEncoderTest, OffsetZeroInTheNewerListIsAFault) {
  Bytes store = make_store(1024);
  EXPECT_EQ(encode(rec(0, 5), rec(3, 5), store), kPackFaultNone);  // harmless in the older list
  EXPECT_EQ(encode(rec(4, 5), rec(3, 64) + rec(4, 5) + rec(0, 7), store), kPackFaultHeaderOffset);
  EXPECT_EQ(ps_->fault.record_index, 2u);
  EXPECT_EQ(ps_->fault.length, 7u);
  EXPECT_EQ(out_, "");
}

// ---- Both passes over real files ------------------------------------------

TEST_F(RunEncoderTest, PackRunReportsFailedListReadsAndPackWrites) {
  std::string store = write_file("store", make_store(1024));
  std::string list = write_file("list", rec(5, 100));
  std::string pack = write_file("pack", "");
  PlatFile s = keep(plat_file_open_read(store.c_str()));
  PlatFile good = keep(plat_file_open_read(list.c_str()));
  PlatFile unreadable = keep(plat_file_create_write(write_file("wo", "").c_str()));
  PlatFile p = keep(plat_file_create_write(pack.c_str()));
  EXPECT_EQ(pack_run(ps_.get(), s, unreadable, good, p, in_buf_, out_buf_), 3);
  EXPECT_EQ(ps_->fault.kind, kPackFaultListRead);
  EXPECT_EQ(ps_->fault.pass, 0);
  EXPECT_NE(ps_->fault.error, 0);
  EXPECT_EQ(pack_run(ps_.get(), s, good, unreadable, p, in_buf_, out_buf_), 3);
  EXPECT_EQ(ps_->fault.kind, kPackFaultListRead);
  EXPECT_EQ(ps_->fault.pass, 1);

  PlatFile unwritable = keep(plat_file_open_read(pack.c_str()));
  PlatFile l1 = keep(plat_file_open_read(list.c_str()));
  PlatFile l2 = keep(plat_file_open_read(list.c_str()));
  EXPECT_EQ(pack_run(ps_.get(), s, l1, l2, unwritable, in_buf_, out_buf_), 3);
  EXPECT_EQ(ps_->fault.kind, kPackFaultPackWrite);
  EXPECT_NE(ps_->fault.error, 0);
}

}  // namespace
