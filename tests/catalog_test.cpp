// The catalogue's .version files: written and read back, refused when a
// line is wrong, and the folder read oldest first with damaged files named.
#include "client/catalog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/scratch_dir.h"

namespace {

VersionInfo sample() {
  VersionInfo v;
  v.name = "v1";
  v.stored = "2026-12-09T21:40:05Z";
  v.inputs = {"a.tar", "-", "dir with space/b"};
  v.bytes = 3522560;
  v.records = 12576;
  v.new_bytes_known = true;
  v.new_bytes = 3782464;
  v.store_end = 3782464;
  v.list = "v1.list";
  v.list_sha256 = std::string(64, 'a');
  return v;
}

const char kText[] =
    "format 1\nname v1\nstored 2026-12-09T21:40:05Z\ninput a.tar\ninput -\n"
    "input dir with space/b\nbytes 3522560\nrecords 12576\nnew-bytes 3782464\n"
    "store-end 3782464\nlist v1.list\nlist-sha256 "
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n";

TEST(VersionInfo, WritesTheDocumentedLinesAndReadsThemBack) {
  EXPECT_EQ(version_info_text(sample()), kText);
  VersionInfo back;
  std::string why;
  ASSERT_TRUE(version_info_parse(kText, &back, &why)) << why;
  EXPECT_EQ(version_info_text(back), kText);
  VersionInfo unknown = sample();
  unknown.new_bytes_known = false;
  ASSERT_TRUE(version_info_parse(version_info_text(unknown), &back, &why)) << why;
  EXPECT_FALSE(back.new_bytes_known);
}

// One line of kText replaced (or added, or taken away), and what it does.
TEST(VersionInfo, RefusesWhatIsNotOneAndSaysWhy) {
  struct Case {
    const char* from;  // a line of kText ("" : append `to`)
    const char* to;    // its replacement ("" : the line goes)
    bool parses;
    const char* why;   // part of the reason
  };
  const Case cases[] = {
      {"format 1\n", "format 2\n", false, "format 2"},
      {"format 1\n", "", false, "no format"},
      {"records 12576\n", "", false, "no records"},
      {"records 12576\n", "records 12x\n", false, "records"},
      {"records 12576\n", "records 18446744073709551616\n", false, "records"},
      {"bytes 3522560\n", "bytes -1\n", false, "bytes"},
      {"name v1\n", "name .hidden\n", false, "name"},
      {"name v1\n", "name a/b\n", false, "name"},
      {"stored 2026-12-09T21:40:05Z\n", "stored yesterday\n", false, "stored"},
      {"list v1.list\n", "list ../v1.list\n", false, "list"},
      {"list v1.list\n", "list v1.txt\n", false, "list"},
      {"list v1.list\n", "list v1.r2.list\n", true, ""},
      {"new-bytes 3782464\n", "new-bytes -\n", true, ""},
      {"input -\n", "input \n", false, "empty input"},
      {"", "list v1.list\n", false, "list twice"},
      {"", "colour blue\n", true, ""},  // a key of a later revision is passed over
      {"", "no-newline", false, "ends inside a line"},
      {"list-sha256 ", "list-sha256 A", false, "list-sha256"},
      {"store-end 3782464\n", "store-end\n", false, "no value"},
  };
  for (const Case& c : cases) {
    std::string text = kText;
    if (*c.from == 0) {
      text += c.to;
    } else {
      size_t at = text.find(c.from);
      ASSERT_NE(at, std::string::npos) << c.from;
      text.replace(at, strlen(c.from), c.to);
    }
    VersionInfo v;
    std::string why;
    EXPECT_EQ(version_info_parse(text, &v, &why), c.parses) << text;
    if (!c.parses) {
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
  }
}

TEST(VersionName, TakesLettersDigitsAndAFewMarks) {
  const std::pair<std::string, bool> cases[] = {
      {"v1", true},   {"2026-12-09_home+etc@host", true}, {std::string(100, 'x'), true},
      {"", false},    {std::string(101, 'x'), false},     {".v1", false},
      {"-v1", false}, {"a b", false}, {"a/b", false}, {"a\\b", false}, {"\xc3\xa9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(version_name_ok(c.first.c_str()), c.second) << c.first;
}

TEST(CatalogTime, WritesUtcDatesAcrossLeapDaysAndCenturies) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {1796852405, "2026-12-09T21:40:05Z"},
      {4107542399, "2100-02-28T23:59:59Z"},
      {4107542400, "2100-03-01T00:00:00Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(catalog_utc_text(c.first), c.second) << c.first;
}

TEST(Catalog, ReadsEveryVersionOldestFirstAndNamesTheDamagedOnes) {
  ScratchDir dir;
  const std::string store = dir.file("store");
  std::vector<VersionInfo> versions;
  std::vector<std::string> damaged;
  std::string why;
  ASSERT_TRUE(plat_make_dir(store.c_str()) == 0);
  ASSERT_TRUE(catalog_read(store, &versions, &damaged, &why)) << why;  // no folder yet
  EXPECT_TRUE(versions.empty());
  ASSERT_TRUE(catalog_make_folder(store, &why)) << why;
  // Stored in this order of time; "b" and "c" in the same second.
  const char* names[] = {"c", "a", "b"};
  const char* times[] = {"2026-12-09T10:00:01Z", "2026-12-09T10:00:00Z", "2026-12-09T10:00:01Z"};
  const uint64_t ends[] = {300, 100, 200};
  for (int i = 0; i < 3; i++) {
    VersionInfo v = sample();
    v.name = names[i];
    v.stored = times[i];
    v.store_end = ends[i];
    v.list = std::string(names[i]) + ".list";
    ASSERT_TRUE(catalog_write_version(store, v, &why)) << why;
  }
  VersionInfo other = sample();
  other.name = "elsewhere";
  ASSERT_TRUE(catalog_write_version(store, other, &why));
  ASSERT_EQ(plat_file_rename(catalog_file_path(store, "elsewhere.version").c_str(),
                             catalog_file_path(store, "moved.version").c_str()), 0);
  PlatFile f = plat_file_create_write(catalog_file_path(store, "junk.version").c_str());
  ASSERT_EQ(plat_file_write_all(f, "format 1\n", 9), 0);
  ASSERT_EQ(plat_file_close(f), 0);
  ASSERT_TRUE(catalog_read(store, &versions, &damaged, &why)) << why;
  ASSERT_EQ(versions.size(), 3u);
  EXPECT_EQ(versions[0].name, "a");
  EXPECT_EQ(versions[1].name, "b");
  EXPECT_EQ(versions[2].name, "c");
  ASSERT_EQ(damaged.size(), 2u);
  EXPECT_NE(damaged[0].find("junk.version: no name"), std::string::npos) << damaged[0];
  EXPECT_NE(damaged[1].find("moved.version: it describes the version elsewhere"),
            std::string::npos) << damaged[1];
  // A fresh list name passes over the files that exist.
  EXPECT_EQ(catalog_fresh_list(store, "z"), "z.list");
  f = plat_file_create_write(catalog_file_path(store, "a.list").c_str());
  ASSERT_EQ(plat_file_close(f), 0);
  EXPECT_EQ(catalog_fresh_list(store, "a"), "a.r2.list");
}

}  // namespace
