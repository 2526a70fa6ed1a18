// Pulling a mirror: a store folder kept a byte prefix of a master's store,
// brought up to date from the master's published folder
// (client/mirror_publish.h), given as a folder or an http(s) URL.
//
// Only what the mirror lacks is fetched: the segments after those it holds,
// each downloaded into a file of its own in the mirror folder
// ("$fetch-SHA256"), which a later pull resumes. A downloaded segment is
// appended to the mirror's "$dump" only once its size and SHA-256 match the
// manifest and its bytes are laid out as the server reads a store at
// start-up (whole chunks, padding that copies each chunk's last byte); the
// store is synced and the mirror's record "$mirror" (the manifest of what
// it holds, client/mirror_manifest.h) replaced after each. Versions come
// last: each description and list checked against its SHA-256, every
// record inside the mirror's store, then installed in the catalogue as the
// master has them (list first, description last). The mirror's store lock
// is held exclusive while the mirror changes, so a server running on the
// mirror folder sees the new bytes at its next client.
//
// A mirror whose segments are not the first ones of the manifest, or whose
// store holds bytes no pull appended, is not the master's prefix: it is
// refused, never changed.
#pragma once
#include <cstdint>
#include <string>

#include "client/segment_fetch.h"

enum PullStatus : int {
  kPullOk = 0,
  kPullUsage = 1,
  kPullSourceFailed = 2,  // the source cannot be reached or read now; a later pull resumes
  kPullBadSource = 3,     // what came does not verify: nothing of it was installed
  kPullNotAPrefix = 4,    // the mirror is not a prefix of this master
  kPullMirrorFailed = 5,  // the mirror folder cannot be written
};

constexpr char kFetchPrefix[] = "$fetch-";

struct PullRequest {
  FetchSource source;
  std::string mirror_dir;
  bool quiet = false;
};

struct PullReport {
  uint64_t new_segments = 0;
  uint64_t new_bytes = 0;
  uint64_t resumed_bytes = 0;  // of partial downloads taken up again
  uint64_t mirror_size = 0;
  uint64_t versions = 0;       // the master's, all installed
  uint64_t versions_new = 0;   // installed or replaced by this pull
};

int mirror_pull(const PullRequest& r, PullReport* report);
