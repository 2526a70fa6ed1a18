#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/record.h"
#include "platform/plat.h"
#include "server/store.h"
#include "tests/captured_stderr.h"
#include "tests/store_path_fixture.h"

namespace {

class StoreRebuildTest : public StorePathFixture {
 protected:
  void SetUp() override {
    begin("store_rebuild_");
    // The store header, then bytes that cut into several chunks.
    bytes_.assign(kStoreHeaderSize, kStoreHeaderByte);
    uint32_t x = 12345;
    for (int i = 0; i < 20000; i++) {
      x = x * 1103515245u + 12345u;
      bytes_.push_back(uint8_t(x >> 24));
    }
    PlatFile w = plat_file_create_write(path_.c_str());
    ASSERT_NE(w, kPlatNoFile);
    ASSERT_EQ(plat_file_write_all(w, bytes_.data(), bytes_.size()), 0);
    plat_file_close(w);
  }

  std::vector<uint8_t> bytes_;
};


// Sets the rebuild's progress threshold for the life of the object.
class ProgressThreshold {
 public:
  explicit ProgressThreshold(uint64_t ms) { store_set_progress_interval_ms(ms); }
  ~ProgressThreshold() { store_set_progress_interval_ms(1000); }
};

TEST_F(StoreRebuildTest, ReadableStoreIsRebuiltAndLeftAtItsEnd) {
  PlatFile f = plat_file_open_always_rw(path_.c_str());
  ASSERT_NE(f, kPlatNoFile);
  // No progress report, however slowly this machine reads the store.
  ProgressThreshold hour(3600000);
  ::testing::internal::CaptureStderr();
  StoreTail tail{1, 1};
  EXPECT_TRUE(store_rebuild_index(f, table_, &tail));
  EXPECT_EQ(without_sanitizer_notes(::testing::internal::GetCapturedStderr()), "");
  uint64_t pos = 0;
  ASSERT_EQ(plat_file_seek(f, 0, kSeekCurrent, &pos), 0);
  EXPECT_EQ(pos, bytes_.size());
  plat_file_close(f);
}

// With the interval at 0 every block read is reported, then the total: the
// lines a slow rebuild shows, on a store of any size and machine of any speed.
TEST_F(StoreRebuildTest, ProgressIsReportedOnStderrAsTheStoreIsRead) {
  uint32_t x = 777;
  while (bytes_.size() < 300000) {
    x = x * 1103515245u + 12345u;
    bytes_.push_back(uint8_t(x >> 24));
  }
  PlatFile f = plat_file_open_always_rw(path_.c_str());
  ASSERT_NE(f, kPlatNoFile);
  ASSERT_EQ(plat_file_write_all(f, bytes_.data(), bytes_.size()), 0);
  ProgressThreshold at_once(0);
  ::testing::internal::CaptureStderr();
  StoreTail tail{1, 1};
  EXPECT_TRUE(store_rebuild_index(f, table_, &tail));
  std::string err = without_sanitizer_notes(::testing::internal::GetCapturedStderr());
  size_t reports = 0;
  for (size_t at = err.find("chunkstore: rebuilding the index: 0 of 0 MB read\n");
       at != std::string::npos; at = err.find("chunkstore: rebuilding the index: ", at + 1)) {
    reports++;
  }
  EXPECT_GE(reports, 4u) << err;  // 300,000 bytes are five blocks
  std::string done = "chunkstore: index rebuilt from " + std::to_string(bytes_.size()) + " bytes in ";
  EXPECT_NE(err.find(done), std::string::npos) << err;
  EXPECT_EQ(err.find(done), err.rfind("chunkstore: ")) << err;  // the total comes last
  plat_file_close(f);
}

// A store that cannot be read back would leave the index without the chunks
// beyond the failed read: the caller is told, and stderr says why.
TEST_F(StoreRebuildTest, UnreadableStoreIsReportedAndRefused) {
  PlatFile f = plat_file_create_write(path_.c_str());  // write-only: reads fail
  ASSERT_NE(f, kPlatNoFile);
  ASSERT_EQ(plat_file_write_all(f, bytes_.data(), bytes_.size()), 0);
  ::testing::internal::CaptureStderr();
  StoreTail tail;
  EXPECT_FALSE(store_rebuild_index(f, table_, &tail));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("chunkstore: reading \"$dump\" failed after "), std::string::npos) << err;
  EXPECT_NE(err.find("the server does not start"), std::string::npos) << err;
  plat_file_close(f);
}

}  // namespace
