// The chunking pass over the store file "$dump". The pass runs in store mode
// for every "file" command (cut the client's bytes into chunks, append new
// chunks, emit one ChunkRecord per chunk) and in rebuild mode once at
// start-up (cut the stored bytes again and refill the index). How the file
// is written, and what happens when it cannot be, is server/store_file.h.
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

// Where a pass takes its input and puts its records: the fields of the
// coroutine that runs it (a client Connection, or the file-driven rebuild
// coroutine).
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


enum PassMode : int32_t { kStoreMode = 0, kRebuildMode = 1 };

struct PassContext {
  int32_t mode;
  uint64_t remaining;     // input bytes the pass may still take
  uint64_t end_of_store;  // rebuild: file position of the next stored chunk
  uint64_t store_size;    // size of the store when the pass started
  // Rebuild: the store ends inside the padding of a whole chunk; the tail
  // the next store passes step over (store_rebuild_index).
  StoreTail padding_tail;
  uint32_t filler_count;  // filler bytes fed in this pass
  uint32_t last_full;     // full length of the chunk cut last
  int32_t filler;         // the input has ended; bytes fed now are filler
  int32_t active;         // a run_pass is under way (the pump reads it)
  int32_t chunker_ready;  // the chunker's tables are built (by an earlier pass)
  IndexContext index;
  PassIo io;
  // Rebuild progress on stderr.
  uint64_t started_ms;
  uint64_t reported_ms;
  uint64_t progress_ms;  // the rebuild reports after this long, and as often
  Chunker chunker;
  // The batch: chunks cut in input order, handled (digest, index, record,
  // append) in the same order when the batch is full, before the pass waits
  // for input, and at its end. The batch ends sooner when the pass waits for
  // input, so a 64 KiB block of the store makes one batch in a rebuild.
  uint8_t batch_last[kBatchChunks];     // the pass's last chunk (filler in it)
  uint64_t batch_stored[kBatchChunks];  // rebuild: file position of the chunk
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

// Refills the index from the store file at start-up (when it is not empty)
// and leaves the file position at its end. Shows progress on stderr when it
// takes more than a second (store_set_progress_interval_ms). Returns false,
// after a message on stderr, when
// the store cannot be read to its end: an index missing the chunks beyond
// would have them stored again, so the caller does not serve.
//
// A store can end in a torn chunk (an append cut short by a crash, or stray
// bytes). The next rebuild cuts from that chunk's start, through whatever
// follows it, and would cut every chunk appended after it out of step: those
// would never be found again and would be stored anew at every restart. So
// tail->resync_at receives where the first new chunk must go instead (0 when
// the store ends cleanly): the end, padded to 64, of the chunk that the torn
// bytes followed by zeros make. A store pass fills up to it with zeros
// (tail->fill), so that later rebuilds cut that chunk and then meet the new
// chunks exactly where they start.
//
// A store can also end inside the padding of a whole chunk. Then the first
// new chunk goes where that padding ends, and the padding is completed with
// copies of the chunk's last byte (tail->fill), as a whole padding is.
//
// The store is read through io (plat_file_io() but in the tests that read it
// in pieces of random sizes).
bool store_rebuild_index(PlatFile store, uint8_t* index_table, StoreTail* tail,
                         FileIo io = plat_file_io());

// The file-driven coroutine the rebuild runs on, for the tests that watch
// its wake-ups from their reads.
const FileCoroutine* store_rebuild_coroutine();

// How long a rebuild runs before it reports its progress, and how often it
// reports then (1000 ms unless set): tests set it to see the reports, or to
// be sure of none, whatever the machine's speed.
void store_set_progress_interval_ms(uint64_t ms);
