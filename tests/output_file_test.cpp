// The output module and the checks made before an output is written: the
// temporary name at the folder's name limit, temporary files that never
// share or replace a file, the two-step finish and publish, and an output
// refused because it is an input (however its path is spelled) or cannot be
// written.
#include "common/output_check.h"
#include "common/output_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>

#include "tests/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& s) {
  std::ofstream(path, std::ios::binary) << s;
}

TEST(OutputTempName, FitsTheNameLimitWhateverTheFinalName) {
  const std::string long_name(250, 'n');
  // "\xC3\xA9" is one character (e-acute) in UTF-8: never cut in half.
  const std::string accents = std::string(240, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9";
  struct Case {
    std::string path;
    size_t name_max;
    std::string want;
  } cases[] = {
      {"dir/list", 255, "dir/list.77-3.part"},
      {"list", 255, "list.77-3.part"},
      {"d/" + long_name, 255, "d/" + long_name.substr(0, 255 - 10) + ".77-3.part"},
      {long_name, 250 + 10, long_name + ".77-3.part"},  // just fits
      {long_name, 250 + 9, long_name.substr(0, 249) + ".77-3.part"},
      {"x/" + accents, 250, "x/" + std::string(240, 'a') + ".77-3.part"},
      {"x/" + accents, 251, "x/" + std::string(240, 'a') + ".77-3.part"},  // not half of one
      {"x/" + accents, 252, "x/" + std::string(240, 'a') + "\xC3\xA9" + ".77-3.part"},
      {"x/abc", 5, "x/.77-3.part"},  // no room at all: the suffix alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 20) + " max " + std::to_string(c.name_max));
    const std::string got = output_temp_name(c.path.c_str(), 77, 3, c.name_max);
    EXPECT_EQ(got, c.want);
    if (c.name_max > 10) {
      EXPECT_LE(got.size() - (got.rfind('/') + 1), c.name_max);
    }
  }
}

class OutputFileTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
};

// Temporary files beside one path are each a new file of their own: an
// existing file under the name next in turn is passed over, not opened or
// replaced, and nothing appears under the path itself.
TEST_F(OutputFileTest, TemporaryFilesBesideOnePathNeverShareOrReplaceAFile) {
  const std::string path = dir_.file("a.list");
  std::string first, second;
  PlatFile f = output_create_temp(path.c_str(), &first);
  ASSERT_NE(f, kPlatNoFile);
  const std::string prefix = path + "." + std::to_string(plat_process_id()) + "-";
  ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << first;
  EXPECT_EQ(plat_file_write_all(f, "mine", 4), 0);
  plat_file_close(f);
  const uint32_t n = uint32_t(std::stoul(first.substr(prefix.size())));
  const std::string taken = prefix + std::to_string(n + 1) + ".part";
  write_file(taken, "theirs");
  PlatFile g = output_create_temp(path.c_str(), &second);
  ASSERT_NE(g, kPlatNoFile);
  plat_file_close(g);
  EXPECT_EQ(second, prefix + std::to_string(n + 2) + ".part");
  EXPECT_EQ(read_all(first), "mine");
  EXPECT_EQ(read_all(taken), "theirs");
  EXPECT_FALSE(fs::exists(path));
}

// A final name as long as the folder takes still gets its temporary file,
// and the finished file its full name.
TEST_F(OutputFileTest, ALongestLegalNameIsWrittenAndRenamedIntoPlace) {
  const std::string path = dir_.file(std::string(plat_name_max(dir_.file("x").c_str()) - 5, 'L'));
  OutputFile o;
  uint8_t buf[16];
  ASSERT_TRUE(output_open(&o, path.c_str(), buf, sizeof buf)) << plat_error_text(o.error);
  output_write(&o, reinterpret_cast<const uint8_t*>("0123456789abcdefXYZ"), 19);
  output_fill(&o, '!', 20);
  ASSERT_TRUE(output_commit(&o)) << plat_error_text(o.error);
  EXPECT_EQ(read_all(path), "0123456789abcdefXYZ" + std::string(20, '!'));
  EXPECT_EQ(o.written, 39u);
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir_.file(""))) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1u);  // no temporary file left
}

// Finished files keep their temporary names until published; one abandoned
// after finishing leaves nothing.
TEST_F(OutputFileTest, FinishedFilesAppearOnlyWhenPublished) {
  const std::string a = dir_.file("a"), b = dir_.file("b");
  OutputFile fa, fb;
  ASSERT_TRUE(output_open_temp(&fa, a.c_str(), nullptr, 0));
  ASSERT_TRUE(output_open_temp(&fb, b.c_str(), nullptr, 0));
  output_write(&fa, reinterpret_cast<const uint8_t*>("A"), 1);
  output_write(&fb, reinterpret_cast<const uint8_t*>("B"), 1);
  ASSERT_TRUE(output_finish(&fa));
  ASSERT_TRUE(output_finish(&fb));
  EXPECT_FALSE(fs::exists(a));
  ASSERT_TRUE(output_publish(&fa));
  EXPECT_EQ(read_all(a), "A");
  const std::string b_part = fb.part;
  output_abandon(&fb);
  output_abandon(&fb);  // twice is harmless
  EXPECT_FALSE(fs::exists(b));
  EXPECT_FALSE(fs::exists(b_part));
}

// Every spelling of an input is refused as an output; the same file by
// content but not by identity is not.
TEST_F(OutputFileTest, AnOutputThatIsAnInputIsRefusedHoweverSpelled) {
  const std::string store = dir_.file("store");
  write_file(store, "the store");
  write_file(dir_.file("copy"), "the store");
  fs::create_directories(dir_.file("sub"));
  std::error_code ec;
  fs::create_hard_link(store, dir_.file("hard"), ec);
  const bool hard_links = !ec;
  fs::create_symlink(store, dir_.file("soft"), ec);
  const bool soft_links = !ec;
  fs::create_directory_symlink(dir_.file(""), dir_.file("sub/up"), ec);
  const bool folder_links = !ec;
  struct Case {
    std::string out;
    bool usable;
    bool needs_hard, needs_soft, needs_folder;
  } cases[] = {
      {store, false, false, false, false},
      {dir_.file("./store"), false, false, false, false},
      {dir_.file("sub/../store"), false, false, false, false},
      {dir_.file("") + "/store", false, false, false, false},  // "//"
      {dir_.file("hard"), false, true, false, false},
      {dir_.file("soft"), false, false, true, false},
      {dir_.file("sub/up/store"), false, false, false, true},
      {dir_.file("copy"), true, false, false, false},
      {dir_.file("new"), true, false, false, false},
  };
  const std::string other = dir_.file("other");
  const NamedFile inputs[] = {{"list", other.c_str()}, {"store file", store.c_str()}};
  for (const Case& c : cases) {
    if ((c.needs_hard && !hard_links) || (c.needs_soft && !soft_links) ||
        (c.needs_folder && !folder_links)) {
      continue;  // this system cannot make that kind of link
    }
    SCOPED_TRACE(c.out);
    EXPECT_EQ(output_check("t", {"output", c.out.c_str()}, inputs, 2),
              c.usable ? kOutputUsable : kOutputIsInput);
  }
  EXPECT_EQ(read_all(store), "the store");
  if (!hard_links || !soft_links || !folder_links) {
    std::cerr << "note: this system made no " << (hard_links ? "" : "hard ")
              << (soft_links ? "" : "symbolic ") << (folder_links ? "" : "folder ")
              << "links; their rows were passed over\n";
  }
}

TEST_F(OutputFileTest, AnOutputThatCannotBeWrittenIsRefusedUpFront) {
  fs::create_directories(dir_.file("folder"));
  write_file(dir_.file("plain"), "x");
  struct Case {
    std::string out;
    OutputCheck want;
  } cases[] = {
      {dir_.file("folder"), kOutputNotWritable},
      {dir_.file("missing/out"), kOutputNotWritable},
      {dir_.file("plain/out"), kOutputNotWritable},  // the "folder" is a file
      {dir_.file("folder/out"), kOutputUsable},
      {dir_.file("plain"), kOutputUsable},           // replaced by the rename
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(output_check("t", {"output", c.out.c_str()}, nullptr, 0), c.want);
  }
}

}  // namespace
