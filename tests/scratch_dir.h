// A folder of the test's own under the system's temporary folder, named after
// the test and the process, so that tests run in parallel (ctest -j) never
// share a file; removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/plat.h"

class ScratchDir {
 public:
  ScratchDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("chunk_") + info->test_suite_name() + "." + info->name() + "." +
                       std::to_string(plat_process_id());
    for (char& c : name)
      if (c == '/') c = '_';  // parameterised tests' names hold slashes
    path_ = std::filesystem::path(::testing::TempDir()) / name;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    std::filesystem::create_directories(path_, ec);
    EXPECT_FALSE(ec) << "cannot create " << path_.string() << ": " << ec.message();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The full name of `name` in the folder.
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};
