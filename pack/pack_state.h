// PackState: the whole state of chunkpack. It begins with the file-driven
// coroutine record, so the run encoder reaches it from its Coroutine*; the
// run state and the RunTable follow. It is one static record in the program.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/coroutine.h"
#include "common/record.h"
#include "platform/plat.h"

// A run holds at most this many records, so its count fits 16 bits; the
// RunTable has one more entry than that.
constexpr uint32_t kMaxRunCount = 65535;
constexpr size_t kRunTableSize = 65536;
// Literal runs are read from the store in blocks of this size; a block
// always holds the longest padded chunk whole.
constexpr size_t kStoreReadBlock = size_t(1) << 20;
static_assert(kStoreReadBlock >= kChunkBufferSize, "a block holds any chunk");

enum RunKind : int32_t { kRunLiteral = 0, kRunReference = 1, kRunNone = 2 };

// Why a pack run failed (exit status 3 of chunkpack).
enum PackFaultKind : int32_t {
  kPackFaultNone = 0,
  kPackFaultChunkOutsideStore,  // a literal chunk reaches past the store's end
  kPackFaultChunkRead,          // reading a literal chunk failed or came short
  kPackFaultHeaderOffset,       // a newer-list record names ChunkOffset 0
  kPackFaultListRead,           // reading a list failed (not its end)
  kPackFaultPackWrite,          // writing the pack file failed or came short
};

struct PackFault {
  int32_t kind;
  int32_t pass;           // 0: older list, 1: newer list
  uint64_t record_index;  // the record's index in its list, from 0
  uint64_t offset;        // its ChunkOffset
  uint32_t length;        // its real length
  uint64_t store_size;    // bytes in the store file when pass 1 began
  int error;              // plat_file_last_error(), or 0 for a short read
};

struct PackState {
  FileCoroutine fc;  // first: the encoder's Coroutine* is this record
  PlatFile store;
  int32_t pass;  // 0: older list, learn the largest offset; 1: write the pack
  uint64_t largest_older;
  uint64_t next_expected;  // ChunkOffset where the current run would go on
  uint32_t run_count;      // records in the current run, 0..kMaxRunCount
  int32_t run_kind;        // RunKind
  uint64_t records_taken;  // whole records read from the current list
  uint64_t run_first_record;  // list index of RunTable entry 0
  uint64_t store_size;        // store length, learnt before pass 1
  PackFault fault;            // kPackFaultNone while all is well
  uint8_t chunk_buf[kChunkRecordSize];  // one record being gathered
  uint8_t store_buf[kStoreReadBlock];   // store bytes of the literal run being written
  uint64_t run_offsets[kRunTableSize];
  uint32_t run_lengths[kRunTableSize];
};
