// The store pass over the store file "$dump", run for every "file" command:
// cut the client's bytes into chunks, append new chunks, emit one
// ChunkRecord per chunk. How the file is written, and what happens when it
// cannot be, is server/store_file.h; the rebuild at start-up is
// server/store_rebuild.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/chunk_batch.h"
#include "chunk/chunker.h"
#include "common/coroutine.h"
#include "platform/plat.h"
#include "chunk/chunk_index.h"
#include "server/group_commit.h"
#include "server/store_file.h"
#include "server/store_rebuild.h"

// Where a pass takes its input and puts its records: the fields of the
// coroutine that runs it (a client Connection, or a test's stand-in).
struct PassIo {
  Coroutine* co;
  uint8_t** in_cur;
  uint8_t** in_end;
  int32_t* end_of_input;  // the closed flag, or the end-of-input flag
  uint8_t** out_cur;
  uint8_t** out_end;
  int32_t wait_input_code;
  int32_t wait_output_code;
};

struct PassContext {
  uint64_t remaining;     // input bytes the pass may still take
  uint32_t filler_count;  // filler bytes fed in this pass
  int32_t filler;         // the input has ended; bytes fed now are filler
  int32_t active;         // a run_pass is under way (the pump reads it)
  IndexContext index;
  PassIo io;
  Chunker chunker;
  // The batch: chunks cut in input order, handled (digest, index, record,
  // append) in the same order when the batch is full, before the pass waits
  // for input, and at its end.
  uint8_t batch_last[kBatchChunks];     // the pass's last chunk (filler in it)
  ChunkBatch batch;
  // Store mode appends new chunks here; the gathered block is written
  // before the pass yields or returns, so a record never leaves before its
  // chunk is in the file.
  StoreFile store;
  // Records that wait for a sync of the store file (server/group_commit.h).
  GroupCommit commit;
};

// Points the pass at the buffer fields of the record that runs it (a
// FileCoroutine, a Connection, or a test's stand-in for one): its input and
// output cursors and ends, its end-of-input flag, and the codes it yields
// when it waits for input or for room.
template <class Buffers>
void pass_attach_io(PassContext* p, Coroutine* co, Buffers* b, int32_t* end_of_input,
                    int32_t wait_input_code, int32_t wait_output_code) {
  p->io.co = co;
  p->io.in_cur = &b->in_cur;
  p->io.in_end = &b->in_end;
  p->io.end_of_input = end_of_input;
  p->io.out_cur = &b->out_cur;
  p->io.out_end = &b->out_end;
  p->io.wait_input_code = wait_input_code;
  p->io.wait_output_code = wait_output_code;
}

// The same for a socket-driven record, whose input ends when its closed flag
// is set.
template <class SocketRecord>
void pass_attach_socket_io(PassContext* p, SocketRecord* r) {
  pass_attach_io(p, &r->co, r, &r->closed, kCoWaitInput, kCoWaitOutput);
}

// Sets a pass context up for store mode on the store file and index table,
// with no torn tail to step over, its held records in the server's static
// buffer, and syncing off until store_file_start turns it on.
void pass_prepare_store_mode(PassContext* p, PlatFile store, uint8_t* index_table);

// Lets the next store passes step over the tail a rebuild found.
inline void pass_set_tail(PassContext* p, const StoreTail& tail) {
  store_file_set_tail(&p->store, tail);
}

// Runs the pass over the next `length` input bytes (store mode) or over the
// whole input (rebuild mode, length 2^64 - 1). In store mode every record is
// sent only after its chunk has been written and, with syncing on, synced:
// records of chunks not yet synced, and all records after them, are held
// in p->commit for the driver's group commit (group_commit_pump). A store that cannot be
// written ends the pass at once, after a message on stderr, without another
// record and without a yield that would let the records before it leave:
// pass_store_failed then tells, and the server exits with
// kStoreFailedStatus.
void run_pass(PassContext* p, uint64_t length);

// Whether the store file could not be written (the pass ended there).
inline bool pass_store_failed(const PassContext* p) { return p->store.failed; }
