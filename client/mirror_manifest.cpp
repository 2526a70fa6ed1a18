#include "client/mirror_manifest.h"

#include <cinttypes>
#include <cstdio>
#include <set>

#include "client/catalog.h"
#include "common/store_format.h"

namespace {

constexpr char kFirstLine[] = "chunkmirror 1";

// A decimal number without sign, leading zeros or overflow.
bool parse_number(const std::string& s, uint64_t* out) {
  return (s.size() < 2 || s[0] != '0') && catalog_parse_number(s, out);
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at <= line.size()) {
    size_t space = line.find(' ', at);
    if (space == std::string::npos) space = line.size();
    words.push_back(line.substr(at, space - at));
    at = space + 1;
  }
  return words;
}

}  // namespace

bool sha256_hex_ok(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string manifest_text(const MirrorManifest& m) {
  std::string t = std::string(kFirstLine) + "\n";
  char line[256];
  snprintf(line, sizeof line, "store-size %" PRIu64 "\n", m.store_size);
  t += line;
  for (const MirrorSegment& s : m.segments) {
    snprintf(line, sizeof line, "segment %" PRIu64 " %" PRIu64 " ", s.offset, s.size);
    t += line + s.sha256 + "\n";
  }
  for (const MirrorVersion& v : m.versions) {
    snprintf(line, sizeof line, " %" PRIu64 " ", v.size);
    t += "version " + v.name + line + v.sha256;
    snprintf(line, sizeof line, " %" PRIu64 " ", v.list_size);
    t += line + v.list_sha256 + "\n";
  }
  return t + "end\n";
}

bool manifest_parse(const std::string& text, MirrorManifest* m, std::string* why) {
  *m = MirrorManifest{};
  size_t at = 0, line_no = 0;
  bool have_size = false, ended = false;
  uint64_t next = 0;  // where the next segment must begin
  std::set<std::string> names;
  auto fail = [&](const std::string& what) {
    *why = "line " + std::to_string(line_no) + ": " + what;
    return false;
  };
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    line_no++;
    if (end == std::string::npos) return fail("the manifest ends inside a line");
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (ended) return fail("text after \"end\"");
    if (line_no == 1) {
      if (line != kFirstLine) return fail("not a manifest this program reads: \"" + line + "\"");
      continue;
    }
    const std::vector<std::string> w = split_words(line);
    if (w[0] == "store-size" && w.size() == 2) {
      if (have_size) return fail("store-size twice");
      if (!parse_number(w[1], &m->store_size)) return fail("a bad store-size");
      have_size = true;
    } else if (w[0] == "segment" && w.size() == 4) {
      MirrorSegment s;
      if (!parse_number(w[1], &s.offset) || !parse_number(w[2], &s.size)) {
        return fail("a segment's offset or size is not a number");
      }
      if (s.offset != next) return fail("a segment that does not begin where the one before ends");
      if (s.size == 0 || s.size % kChunkAlign != 0 || s.size > kMaxSegmentSize) {
        return fail("a segment size that is not a whole number of 64-byte units up to 1 GiB");
      }
      if (!sha256_hex_ok(w[3])) return fail("a bad segment digest");
      s.sha256 = w[3];
      next = s.offset + s.size;
      m->segments.push_back(s);
    } else if (w[0] == "version" && w.size() == 6) {
      MirrorVersion v;
      v.name = w[1];
      if (!version_name_ok(v.name.c_str())) return fail("a bad version name: \"" + v.name + "\"");
      if (!names.insert(v.name).second) return fail("the version " + v.name + " twice");
      if (!parse_number(w[2], &v.size) || !parse_number(w[4], &v.list_size)) {
        return fail("a version's size is not a number");
      }
      if (!sha256_hex_ok(w[3]) || !sha256_hex_ok(w[5])) return fail("a bad version digest");
      v.sha256 = w[3];
      v.list_sha256 = w[5];
      m->versions.push_back(v);
    } else if (line == "end") {
      ended = true;
    } else {
      return fail("an unknown item: \"" + line + "\"");
    }
  }
  line_no++;
  if (!ended) return fail("no \"end\" line: the manifest is cut short");
  if (!have_size) return fail("no store-size");
  if (m->store_size != next) return fail("store-size is not where the last segment ends");
  return true;
}

std::string manifest_segment_path(const MirrorSegment& s) {
  return std::string(kSegmentFolder) + "/" + s.sha256 + ".seg";
}

std::string manifest_version_path(const MirrorVersion& v) {
  return std::string(kCatalogFolder) + "/" + v.sha256 + kVersionSuffix;
}

std::string manifest_list_path(const MirrorVersion& v) {
  return std::string(kCatalogFolder) + "/" + v.list_sha256 + kListSuffix;
}
