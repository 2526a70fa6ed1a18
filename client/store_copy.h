// Copying the chunks that record lists name from one store into a new one.
//
// The new store is the one a fresh server would hold after being sent the
// lists' files in order: each chunk a record names is looked up in an index
// of the new store (the server's own ChunkIndex, so that it decides exactly
// as the server would, evictions included), and appended, padded as the
// server pads it, when the index does not hold it yet. Every chunk is cut
// again from the old store and checked against its record's digest on the
// way (many at a time, as chunkcat does); the record is rewritten with the
// chunk's offset in the new store. The first bad record stops the copy.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/output_file.h"
#include "client/store_window.h"
#include "client/verify_batch.h"
#include "common/record.h"
#include "common/store_format.h"
#include "chunk/chunk_index.h"
#include "chunk/chunker.h"

struct StoreCopy {
  StoreWindow old;
  Chunker chunker;
  VerifyBatch batch;
  IndexContext index;   // over a table of the new store's own
  OutputFile* store;    // the new store
  OutputFile* list;     // the rewritten list being written
  uint64_t new_size;    // bytes of the new store so far
  uint64_t chunks_copied;
  uint64_t records;     // records rewritten, over all lists
  uint64_t real_bytes;  // their real bytes
  // The first bad record, in list order; the copy stops there.
  bool stopped;
  uint64_t bad_index;
  ChunkRecord bad_rec;
  char bad_what[200];
};

// Sets the copy up on the old store's window (already open) and a zeroed
// index table of kIndexTableBytes; store receives the new store's bytes.
void copy_begin(StoreCopy* c, uint8_t* index_table, OutputFile* store);

// Starts the next list; its rewritten records go to list.
void copy_list_begin(StoreCopy* c, OutputFile* list);

// Takes record `index` (from 0) of the current list. Returns false once the
// copy has stopped at a bad record (this one or one before it).
bool copy_record(StoreCopy* c, uint64_t index, const ChunkRecord& rec);

// Finishes the records that wait to be checked; called at the end of each
// list. Returns false when the copy stopped at a bad record.
bool copy_settle(StoreCopy* c);

// Whether record `rec` lies inside a store of `size` bytes.
inline bool record_inside_store(const ChunkRecord& rec, uint64_t size) {
  return chunk_in_store(rec.offset, rec.real_length, size);
}
