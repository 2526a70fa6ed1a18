// The manifest of a published store: the one file of a published folder
// that is ever replaced, and, in the same form, the record a mirror keeps
// of what it holds ("$mirror" in the mirror's store folder).
//
// A published folder holds immutable files only, each named by the SHA-256
// of its bytes, so that a web server, a CDN or an object store can serve it
// as it is:
//
//   manifest                 this text, replaced atomically by each publish
//   segments/SHA.seg         consecutive byte ranges of the store file
//   versions/SHA.version     a version's description, as the catalogue has it
//   versions/SHA.list        a version's record list
//
// The text, one item a line, "\n" line ends:
//
//   chunkmirror 1
//   store-size N                          the bytes the segments cover
//   segment OFFSET SIZE SHA256            in order: the first at 0, each at
//                                         the end of the one before
//   version NAME SIZE SHA256 LISTSIZE LISTSHA256
//   end
//
// Segments begin and end at whole chunks (the header, or a chunk's padding
// done), so every size is a multiple of 64 and a segment can be checked on
// its own. The "end" line tells a whole manifest from a cut one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

constexpr char kManifestName[] = "manifest";
constexpr char kMirrorStateName[] = "$mirror";
constexpr char kSegmentFolder[] = "segments";
// The largest segment a manifest may name: a pull holds one in memory.
constexpr uint64_t kMaxSegmentSize = uint64_t(1) << 30;

struct MirrorSegment {
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string sha256;  // 64 lowercase hex digits
};

struct MirrorVersion {
  std::string name;
  uint64_t size = 0;         // of its .version text
  std::string sha256;
  uint64_t list_size = 0;
  std::string list_sha256;
};

struct MirrorManifest {
  uint64_t store_size = 0;
  std::vector<MirrorSegment> segments;
  std::vector<MirrorVersion> versions;
};

std::string manifest_text(const MirrorManifest& m);

// False, with *why naming the line, for anything but a whole, consistent
// manifest: an unknown first line or item, a number that is not one,
// segments that do not follow each other from 0 or are not whole multiples
// of 64, a bad digest or version name, a name twice, a store-size that is
// not the segments' end, a missing "end" or anything after it.
bool manifest_parse(const std::string& text, MirrorManifest* m, std::string* why);

// Paths inside a published folder.
std::string manifest_segment_path(const MirrorSegment& s);
std::string manifest_version_path(const MirrorVersion& v);
std::string manifest_list_path(const MirrorVersion& v);

// Whether s is 64 lowercase hexadecimal digits.
bool sha256_hex_ok(const std::string& s);
