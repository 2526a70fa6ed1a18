// The manifest of a published store: what publish writes is read back the
// same, and anything but a whole, consistent manifest is refused, since a
// pull trusts it to say which bytes come next.
#include "client/mirror_manifest.h"
#include "client/mirror_files.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kA(64, 'a'), kB(64, 'b');

const std::string kGood = "chunkmirror 1\nstore-size 192\nsegment 0 128 " + kA +
                          "\nsegment 128 64 " + kB + "\nversion v1 211 " + kA + " 42 " + kB +
                          "\nend\n";

TEST(MirrorManifest, ReadsBackWhatItWrites) {
  MirrorManifest m;
  std::string why;
  ASSERT_TRUE(manifest_parse(kGood, &m, &why)) << why;
  ASSERT_EQ(m.segments.size(), 2u);
  EXPECT_EQ(m.segments[1].offset, 128u);
  EXPECT_EQ(m.versions[0].list_size, 42u);
  EXPECT_EQ(manifest_text(m), kGood);
  MirrorManifest empty;
  ASSERT_TRUE(manifest_parse(manifest_text(empty), &m, &why)) << why;
  EXPECT_TRUE(m.segments.empty());
}

TEST(MirrorManifest, RefusesWhatIsNotWholeAndConsistent) {
  auto replace = [](std::string from, std::string to) {
    std::string t = kGood;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const struct {
    const char* what;
    std::string text;
  } kBad[] = {
      {"cut before end", kGood.substr(0, kGood.size() - 4)},
      {"cut inside a line", kGood.substr(0, kGood.size() - 1)},
      {"empty", ""},
      {"another format", replace("chunkmirror 1", "chunkmirror 2")},
      {"text after end", kGood + "segment 192 64 " + kA + "\n"},
      {"a gap between segments", replace("segment 128", "segment 192")},
      {"first segment not at 0", replace("segment 0 128", "segment 64 128")},
      {"a size not a multiple of 64", replace("segment 128 64", "segment 128 65")},
      {"a zero size", replace("segment 128 64 ", "segment 128 0 ")},
      {"store-size not the end", replace("store-size 192", "store-size 256")},
      {"store-size twice", replace("store-size 192\n", "store-size 192\nstore-size 192\n")},
      {"no store-size", replace("store-size 192\n", "")},
      {"a leading zero", replace("segment 128 64", "segment 0128 64")},
      {"a sign", replace("segment 128 64", "segment +128 64")},
      {"a number past 64 bits", replace("store-size 192", "store-size 18446744073709551616")},
      {"a digest in capitals", replace(kB, std::string(64, 'B'))},
      {"a short digest", replace(kB, std::string(63, 'b'))},
      {"a bad version name", replace("version v1", "version ../v1")},
      {"a version twice", replace("\nend", "\nversion v1 211 " + kA + " 42 " + kB + "\nend")},
      {"a version without its list", replace(" 42 " + kB, "")},
      {"an unknown item", replace("\nend", "\nmirror-of somewhere\nend")},
      {"a CR line end", replace("store-size 192\n", "store-size 192\r\n")},
      {"a double space", replace("segment 0 128", "segment 0  128")},
  };
  for (const auto& c : kBad) {
    MirrorManifest m;
    std::string why;
    EXPECT_FALSE(manifest_parse(c.text, &m, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
}

}  // namespace

// The digest a segment's cut and the second thread share: whatever length
// the cut settles on (all of it, inside the last `tail` bytes, short of
// them, nothing), the text is the SHA-256 of exactly that many bytes.
TEST(MirrorDigestBeside, IsTheDigestOfWhatTheCutKeeps) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = char((i * 2654435761u) >> 13);
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  struct Case {
    size_t total, tail, keep;
  };
  const Case cases[] = {
      {300000, 0, 300000},      {300000, 65536, 300000}, {300000, 65536, 250000},
      {300000, 65536, 234464},  {300000, 65536, 100000}, {300000, 65536, 0},
      {1000, 65536, 1000},      {1000, 65536, 10},       {0, 0, 0},
  };
  for (const Case& c : cases) {
    size_t keep = c.keep;
    auto cut = [](void* ctx) { return *static_cast<size_t*>(ctx); };
    size_t n = 1;
    const std::string got = mirror_sha256_beside(p, c.total, c.tail, cut, &keep, &n);
    EXPECT_EQ(n, c.keep);
    EXPECT_EQ(got, mirror_sha256(p, c.keep)) << c.total << " " << c.tail << " " << c.keep;
  }
}
