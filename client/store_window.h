// Reading chunks out of a store file, and checking them against records.
//
// A StoreWindow holds a stretch of the store file and reads ahead, so that
// records naming chunks that lie close together cost one read between them.
// The checks cut a chunk again with the server's chunker: where a chunk
// ends and what its digest is depend only on its own bytes, filler included.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "chunk/chunker.h"
#include "common/record.h"
#include "platform/plat.h"

// Bytes a StoreWindow's buffer must hold.
constexpr size_t kStoreWindowSize = 4 << 20;

struct StoreWindow {
  PlatFile file;
  uint64_t size;   // of the store file, when it was opened
  uint64_t start;  // file position of buf[0]
  size_t held;     // valid bytes in buf
  int error;       // of the last failed read
  uint8_t* buf;    // kStoreWindowSize bytes
};

// Sets the window up on an open store file; learns its size. Returns false
// (error set) when the size cannot be found.
bool window_open(StoreWindow* w, PlatFile file, uint8_t* buf);

// Makes the store bytes [pos, pos + want) available, cut at the store's end
// (pos < size). Returns them and sets *got; null when the read failed.
const uint8_t* window_view(StoreWindow* w, uint64_t pos, size_t want, size_t* got);

// Whether the store starts with the store header; an empty file is a store
// that has never been written to. Every tool that reads a store asks this.
bool window_holds_store(StoreWindow* w);

enum ChunkMatch : int {
  kChunkMatches = 0,
  kChunkCutShort = 1,   // the bytes end before the chunker ends the chunk
  kChunkMismatch = 2,   // digest differs, or the chunk is shorter than the record says
};

// Whether a chunk cut full bytes long whose key is `key` is the record's:
// the same digest, and at least the record's real length.
inline ChunkMatch key_matches_record(const uint8_t* key, uint32_t full, const ChunkRecord& rec) {
  if (memcmp(key, rec.digest, kRecDigestSize) != 0 || full < rec.real_length) {
    return kChunkMismatch;
  }
  return kChunkMatches;
}

// Checks a chunk given only its real bytes p[0..n), n == rec.real_length:
// the chunk must not end before its last real byte; when it does not end
// there, filler bytes follow (the byte fed before + 1, + 2, ...) until the
// chunker ends it. The byte fed before the filler is p[n - 1], or
// before_first when n is 0 (the last byte of the file's previous chunk, or 0
// for an empty file).
ChunkMatch real_bytes_match(Chunker* c, const uint8_t* p, size_t n, uint8_t before_first,
                            uint8_t* chunk_buf, const ChunkRecord& rec);
