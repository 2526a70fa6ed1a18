// A whole-store check on top of the store walk (chunk/store_walk.h, the
// rebuild's own): counts chunks, padding, padding bytes that are not copies
// of their chunk's last byte, chunks stored more than once, and a tail that
// is not a whole chunk.
//
// The scan takes the store's bytes in spans of any size (scan_feed), so a
// caller reads the file in blocks and can stop at any chunk boundary.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "chunk/store_walk.h"

constexpr unsigned kScanExamples = kWalkExamples;  // offsets kept per kind of fault

struct StoredKey {
  uint8_t key[kChunkKeySize];
  uint64_t offset;  // ChunkOffset
};

struct DuplicatePair {
  uint64_t first;   // ChunkOffset of the first copy
  uint64_t again;   // ChunkOffset of a later copy
};

// The walk's positions and counts, and what the scan adds to them.
struct StoreScan : StoreWalk {
  uint64_t duplicates;        // stored copies beyond the first of a chunk
  uint64_t duplicate_bytes;   // their padded sizes
  unsigned duplicate_examples;
  DuplicatePair duplicate_at[kScanExamples];

  std::vector<StoredKey> keys;
  // Set after scan_begin: scan_end leaves keys in place, by ChunkOffset,
  // for a caller that looks chunks up by their place.
  bool keep_keys;
  // Set after scan_begin: the chunks are cut and their padding checked, but
  // not digested, so no duplicates are looked for (the layout alone).
  bool cut_only;
};

// Starts a scan at file position `at` (64, just after the header).
void scan_begin(StoreScan* s, uint64_t at);

// Takes the next n bytes of the store.
void scan_feed(StoreScan* s, const uint8_t* p, size_t n);

// Whether the bytes fed so far end at the end of a padded chunk.
inline bool scan_at_boundary(const StoreScan* s) { return walk_at_boundary(s); }

// After the last byte: digests what waits in the batch, finds the chunks
// stored more than once. The bytes after whole_end (pos - whole_end of
// them) are the torn tail. The keys go, unless keep_keys.
void scan_end(StoreScan* s);
