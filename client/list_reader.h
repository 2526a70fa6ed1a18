// Reads a record list one ChunkRecord at a time, in blocks.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/record.h"
#include "platform/plat.h"

constexpr size_t kListReadBlock = kChunkRecordSize * 8192;

struct ListReader {
  PlatFile file;
  uint8_t* buf;    // kListReadBlock bytes
  size_t have;     // bytes in buf
  size_t at;       // next record's position in buf
  uint64_t index;  // records returned so far
  int error;       // of a failed read
  size_t stray;    // at the end: bytes of a record the list ends inside
};

enum ListStep : int { kListRecord = 1, kListEnd = 0, kListReadFailed = -1 };

void list_open(ListReader* l, PlatFile file, uint8_t* buf);

// For a reader of blocks that keeps a partial item: moves buf[*at, *have)
// to the front, then reads up to cap - that many bytes after it. Returns
// what the read returned (bytes, 0 at the end, -1 when it failed); *have
// grows by the bytes read.
long refill_block(PlatFile file, uint8_t* buf, size_t cap, size_t* have, size_t* at);

// The next record. At kListEnd, stray holds the bytes after the last whole
// record (0 for a well-formed list).
ListStep list_next(ListReader* l, ChunkRecord* rec);
