// Publishing a store folder: its store file's bytes as immutable segments
// and its versions, in a folder that any static web server, CDN or object
// store serves as it is (client/mirror_manifest.h).
//
// Only bytes a sync covered are published (the store file is synced before
// its size is taken as the end), and only whole chunks: each segment ends
// after the last chunk with all its padding that the store's own cut finds
// below that end, so a chunk being appended waits for the next run. A
// version is published once its list lies inside the published bytes. The
// store folder's lock is held shared, as a reader's, so a prune never
// switches the store under a publish; the server goes on serving. Each run
// adds segments for what the store grew by and replaces the manifest last;
// a run that finds nothing new changes nothing.
//
// The store only grows, so the published bytes must stay its prefix: a run
// first checks the store against the first and last published segments and
// refuses when the store no longer extends them (it was pruned, or it is
// another store).
#pragma once
#include <cstdint>
#include <string>

enum PublishStatus : int {
  kPublishOk = 0,
  kPublishUsage = 1,         // no store folder, PUBDIR is STOREDIR
  kPublishStoreFailed = 2,   // the store cannot be read or synced, or is damaged
  kPublishOutputFailed = 3,  // the published folder cannot be written, or its manifest is damaged
  kPublishNotExtending = 4,  // the store no longer extends what was published
};

constexpr uint64_t kDefaultSegmentSize = uint64_t(64) << 20;
constexpr uint64_t kMinSegmentSize = uint64_t(128) << 10;

struct PublishRequest {
  std::string store_dir;
  std::string pub_dir;
  uint64_t segment_size = kDefaultSegmentSize;
};

struct PublishReport {
  uint64_t new_segments = 0;
  uint64_t new_bytes = 0;
  uint64_t published = 0;         // the store bytes the manifest covers
  uint64_t versions = 0;          // in the manifest
  uint64_t versions_waiting = 0;  // whose lists reach beyond the published bytes
};

// Messages on stderr; the status says how it ended.
int mirror_publish(const PublishRequest& r, PublishReport* report);
