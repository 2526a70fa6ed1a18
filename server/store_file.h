// The store file "$dump" as the store passes append to it: new chunks are
// gathered in an append buffer and written in large blocks; a store that
// ends in a torn chunk or padding is filled up to where the next chunk must
// go; a store shorter than its header gets the header first. A write that
// fails is reported on stderr once, and the file takes nothing more: the
// pass that appended stops without handing out another record, and the
// server exits with kStoreFailedStatus, so that the record of a chunk whose
// bytes are not stored never reaches a client and the next start rebuilds
// the index from what the file really holds.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/plat.h"

// The exit status of a server whose store file cannot be written.
constexpr int kStoreFailedStatus = 3;

constexpr size_t kAppendBufferSize = 256 * 1024;

// How a store ends, as the rebuild found it: where the first new chunk must
// go (0 when the store ends cleanly), and the byte that fills it up to there.
struct StoreTail {
  uint64_t resync_at;
  uint8_t fill;
};

struct StoreFile {
  PlatFile file;
  uint64_t end;      // file position after the last byte appended (buffered or not)
  StoreTail tail;    // still to be stepped over by the next append
  size_t append_fill;
  bool failed;       // a write failed and was reported; nothing more is written
  alignas(64) uint8_t append_buf[kAppendBufferSize];
};

// Takes the open store file, with no torn tail to step over.
void store_file_attach(StoreFile* f, PlatFile file);

// Lets the next appends step over the tail a rebuild found.
inline void store_file_set_tail(StoreFile* f, const StoreTail& tail) { f->tail = tail; }

// Before a store pass: learns where the file ends, and writes the header
// when the file is shorter than it (a header cut short is finished with
// the same byte: readers take the store by its header). Returns false
// when the header cannot be written.
bool store_file_begin(StoreFile* f);

// Where the next new chunk goes: the end of the file rounded up to 64, or
// beyond the torn tail to step over.
uint64_t store_file_next_chunk_at(const StoreFile* f);

// Appends a chunk of `full` bytes (1 to 65535) at store_file_next_chunk_at,
// padded with copies of its last byte, filling the gap before it with the
// tail's byte. Returns false once a write failed.
bool store_file_append_chunk(StoreFile* f, const uint8_t* bytes, uint32_t full);

// Writes what is gathered. Called before the records of the chunks in it
// may leave (before the pass yields or returns). Returns false once a
// write failed.
bool store_file_flush(StoreFile* f);

// Reports a failure at file position `position` (err 0: nothing was
// written) and takes nothing more.
void store_file_fail(StoreFile* f, const char* what, uint64_t position, int err);
