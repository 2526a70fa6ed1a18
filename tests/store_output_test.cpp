// The store pass against a peer that drains its output slowly: after an
// output-full yield the pass may be resumed while the buffer is still at or
// past its end, and must then yield again instead of writing on.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/record.h"
#include "server/store.h"
#include "tests/store_path_fixture.h"
#include "tests/pass_stand_in.h"

namespace {

constexpr size_t kOutSize = 32768;
// A record is begun only below the output end, so it reaches at most this
// far past it.
constexpr size_t kMaxOverhang = kChunkRecordSize - 1;
constexpr size_t kGuardSize = 4096;
constexpr uint8_t kGuardByte = 0xA5;

using SlowPeerRun = PassStandIn<kOutSize + kMaxOverhang + kGuardSize>;

class StoreOutputTest : public StorePathFixture {
 protected:
  void SetUp() override {
    begin("store_output_");
  }

  // Stores data while the peer takes `drain` bytes per resume from the front
  // of the output, the way a partial send does. Returns the bytes the peer
  // received; fails the test when a byte past out_end + 20 was written or
  // an output-full yield left room in the buffer.
  std::vector<uint8_t> store_draining(const std::vector<uint8_t>& data, size_t drain,
                                      size_t* fills) {
    std::vector<uint8_t> got;
    PlatFile f = plat_file_open_always_rw(path_.c_str());
    EXPECT_NE(f, kPlatNoFile);
    auto r = std::make_unique<SlowPeerRun>();
    r->prepare(f, table_);
    r->in_cur = const_cast<uint8_t*>(data.data());
    r->in_end = r->in_cur + data.size();
    r->closed = 1;
    r->length = data.size();
    r->out_cur = r->out;
    r->out_end = r->out + kOutSize;
    uint8_t* const guard = r->out_end + kMaxOverhang;
    memset(guard, kGuardByte, kGuardSize);
    *fills = 0;
    for (;;) {
      coro_resume(&r->co);
      for (size_t i = 0; i < kGuardSize; i++) {
        if (guard[i] != kGuardByte) {
          ADD_FAILURE() << "byte " << kOutSize + kMaxOverhang + i
                        << " past the output start was written, drain " << drain;
          plat_file_close(f);
          return got;
        }
      }
      size_t n = size_t(r->out_cur - r->out);
      if (r->co.yield_code == kCoReturned) {
        got.insert(got.end(), r->out, r->out + n);
        break;
      }
      if (r->co.yield_code != kCoWaitOutput || r->out_cur < r->out_end) {
        ADD_FAILURE() << "yield " << r->co.yield_code << " with " << n << " bytes waiting";
        break;
      }
      (*fills)++;
      size_t k = n < drain ? n : drain;
      got.insert(got.end(), r->out, r->out + k);
      memmove(r->out, r->out + k, n - k);
      r->out_cur = r->out + (n - k);
      r->co.yield_code = kCoOutputMoved;
    }
    plat_file_close(f);
    return got;
  }

  std::vector<uint8_t> read_store() {
    PlatFile f = plat_file_open_read(path_.c_str());
    std::vector<uint8_t> v(64 << 20);
    long n = plat_file_read_full(f, v.data(), v.size());
    plat_file_close(f);
    v.resize(n > 0 ? size_t(n) : 0);
    return v;
  }
};

TEST_F(StoreOutputTest, SlowPeerNeverMakesThePassWritePastTheReserve) {
  // About 8500 records: more than five buffer fills.
  // Each run stores other random bytes, so the index entries of the runs
  // before (whose store file is gone) are never hit.
  for (size_t drain : {size_t(1), size_t(20), size_t(21), size_t(22)}) {
    SCOPED_TRACE(drain);
    std::mt19937 rng{unsigned(drain)};
    std::vector<uint8_t> data(6 << 20);
    for (auto& b : data) b = uint8_t(rng());
    size_t fills = 0;
    std::vector<uint8_t> got = store_draining(data, drain, &fills);
    ASSERT_FALSE(HasFailure());
    EXPECT_GE(got.size(), 5 * kOutSize);
    EXPECT_GT(fills, 5u);
    ASSERT_EQ(got.size() % kChunkRecordSize, 0u);
    // Every record arrived whole and in order: together they give the file.
    std::vector<uint8_t> store_bytes = read_store();
    std::vector<uint8_t> back;
    for (size_t i = 0; i < got.size(); i += kChunkRecordSize) {
      ChunkRecord rec = decode_chunk_record(&got[i]);
      uint64_t at = rec.offset * kChunkAlign;
      ASSERT_LE(at + rec.real_length, store_bytes.size()) << i / kChunkRecordSize;
      back.insert(back.end(), store_bytes.begin() + long(at),
                  store_bytes.begin() + long(at + rec.real_length));
    }
    EXPECT_EQ(back, data);
    (void)plat_file_remove(path_.c_str());
  }
}

}  // namespace
