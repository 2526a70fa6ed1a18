// A test that runs passes on a store file of its own: a fresh index table
// for every test (the suite gives it back at its end) and a scratch path
// named for the test, removed before and after it.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "platform/plat.h"
#include "tests/index_table.h"

class StorePathFixture : public ::testing::Test {
 protected:
  static inline uint8_t* table_ = nullptr;
  static void TearDownTestSuite() {
    TestIndexTable::release();
    table_ = nullptr;
  }
  // A fresh table and the path PREFIX_TEST_PID.dump, nothing there yet.
  void begin(const char* prefix) {
    table_ = TestIndexTable::fresh();
    ASSERT_NE(table_, nullptr);
    path_ = ::testing::TempDir() + prefix +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
            std::to_string(plat_process_id()) + ".dump";
    (void)plat_file_remove(path_.c_str());
  }
  void TearDown() override { (void)plat_file_remove(path_.c_str()); }

  std::string path_;
};
