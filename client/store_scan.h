// A whole-store check: cuts the stored chunks again exactly as the server's
// rebuild at start-up does (from byte 64, each chunk followed by its padding
// up to a multiple of 64 bytes), and counts what it finds: chunks, padding,
// padding bytes that are not copies of their chunk's last byte, chunks
// stored more than once, and a tail that is not a whole chunk.
//
// The scan takes the store's bytes in spans of any size (scan_feed), so a
// caller reads the file in blocks and can stop at any chunk boundary.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "chunk/chunk_batch.h"
#include "chunk/chunker.h"

constexpr unsigned kScanExamples = 10;  // offsets kept per kind of fault

struct StoredKey {
  uint8_t key[kChunkKeySize];
  uint64_t offset;  // ChunkOffset
};

struct DuplicatePair {
  uint64_t first;   // ChunkOffset of the first copy
  uint64_t again;   // ChunkOffset of a later copy
};

struct StoreScan {
  Chunker chunker;
  uint64_t pos;          // file position of the next byte fed
  uint64_t chunk_start;  // file position of the chunk being cut
  uint64_t whole_end;    // file position after the last chunk with all its padding
  uint32_t pad_left;     // padding bytes of the last chunk still to come
  uint8_t pad_byte;      // what they must be: the chunk's last byte
  bool pad_bad;          // a padding byte of the last chunk differed

  uint64_t chunks;
  uint64_t chunk_bytes;       // full lengths, filler included
  uint64_t padding_bytes;
  uint64_t bad_padding;       // chunks whose padding is not all copies
  uint64_t bad_padding_at[kScanExamples];
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

  // Chunks cut but not yet digested, digested together when the batch is
  // full and at the end of the scan.
  uint64_t batch_offset[kBatchChunks];  // ChunkOffset of each
  ChunkBatch batch;
};

// Starts a scan at file position `at` (64, just after the header).
void scan_begin(StoreScan* s, uint64_t at);

// Takes the next n bytes of the store.
void scan_feed(StoreScan* s, const uint8_t* p, size_t n);

// Whether the bytes fed so far end at the end of a padded chunk.
inline bool scan_at_boundary(const StoreScan* s) {
  return s->chunker.chunk_length == 0 && s->pad_left == 0;
}

// After the last byte: digests what waits in the batch, finds the chunks
// stored more than once. The bytes after whole_end (pos - whole_end of
// them) are the torn tail. The keys go, unless keep_keys.
void scan_end(StoreScan* s);
