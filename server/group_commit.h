// Group commit: a record that names a chunk appended since the last sync of
// the store file leaves only after a sync that completed after the chunk
// was written. Such records, and every record after them (the order on the
// wire is the order of the chunks), wait here, and one sync releases the
// records of many chunks at once. The pass only holds records as it emits
// them (and waits, kCoWaitHeld, when they fill the buffer or name too many
// unsynced bytes); when to sync, and when records move on, is decided in
// one place, group_commit_pump, once per poll cycle:
//
//   - a sync is started, and runs while the pass goes on receiving, cutting
//     and storing (store_file_sync_start), once kGroupCommitStartBytes were
//     appended since the last one, the oldest record has waited
//     kGroupCommitMaxWaitMs (input trickling in), or the pass waits for
//     input that did not come in this cycle;
//   - a sync is started and waited for when the client may be waiting for
//     its records: the handler waits for its next command and none came in
//     this cycle, or it has ended; and when the pass cannot go on;
//   - a completed sync covers the records held when it started; they move
//     into the output buffer as room allows.
//
// The held records live in one static buffer set up at start-up (one client
// at a time); nothing is allocated while serving. A failed sync is a failed
// write (server/store_file.h): nothing held leaves.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/record.h"
#include "server/store_file.h"

// The server's buffer of held records: about 100,000 records, some 28 MB of
// unique data at the usual chunk size, for one sync.
constexpr size_t kHeldRecordsBytes = 100000 * kChunkRecordSize;
// A sync is started once this many bytes were appended since the last one;
// the pass waits for it once twice as many are (long chunks fill the store
// faster than their records fill the buffer).
constexpr uint64_t kGroupCommitStartBytes = uint64_t(32) << 20;
constexpr uint64_t kGroupCommitMaxBytes = 2 * kGroupCommitStartBytes;
// Input that keeps coming never leaves the pass waiting for input in a
// quiet cycle; its records are synced once the oldest has waited this long.
// Long enough that a client streaming at full speed is not synced more
// often than its group fills (a sync every 20 ms took 40 % of the speed of
// unique data), short enough that a slow one sees its records come.
constexpr uint64_t kGroupCommitMaxWaitMs = 1000;

struct GroupCommit {
  uint8_t* buf;
  size_t capacity;  // bytes, whole records
  // Held records are [begin, end); those in [begin, synced) are covered by
  // a completed sync and wait only for output room; those up to covering
  // will be, once the sync in flight completes.
  size_t begin;
  size_t synced;
  size_t covering;
  size_t end;
  uint64_t first_unsynced_ms;  // when the oldest record waiting for a sync was held
  uint64_t (*clock)();         // milliseconds; plat_monotonic_ms but in simulations
};

// Sets g up empty over `bytes` bytes of buf (at least one record).
void group_commit_attach(GroupCommit* g, uint8_t* buf, size_t bytes);
// The server's static buffer of kHeldRecordsBytes.
uint8_t* group_commit_static_buffer();

// Drops every held record (a new connection, a lost peer, a failed store).
inline void group_commit_clear(GroupCommit* g) { g->begin = g->synced = g->covering = g->end = 0; }

inline bool group_commit_holds(const GroupCommit* g) { return g->begin != g->end; }
inline bool group_commit_waits_for_sync(const GroupCommit* g) { return g->synced != g->end; }

// Whether the held records must move on before another can be held: the
// buffer is full, or they name too many unsynced bytes of the store.
inline bool group_commit_full(const GroupCommit* g, const StoreFile* f) {
  return g->end - g->begin + kChunkRecordSize > g->capacity ||
         (group_commit_waits_for_sync(g) && f->end - f->synced_end >= kGroupCommitMaxBytes);
}

// Where the next held record is to be written (the caller writes
// kChunkRecordSize bytes there and calls group_commit_held). Not full.
uint8_t* group_commit_next(GroupCommit* g);
void group_commit_held(GroupCommit* g);

// Moves synced records into the output buffer, in order, while the output
// cursor is below out_end (a record may reach into the buffer's reserve,
// as any record the pass writes).
void group_commit_release(GroupCommit* g, uint8_t** out_cur, uint8_t* out_end);

// What the pump saw in this poll cycle, after the coroutine ran.
struct GroupCommitCycle {
  bool waits_for_input;  // the handler waits for input (code 3)
  bool input_came;       // this cycle's receive delivered bytes
  bool in_file;          // a store pass is under way (its records come on)
  bool blocked;          // the pass waits for room to hold (kCoWaitHeld)
  bool over;             // the handler has ended, or "quit"
};

// The pump's step, once per poll cycle after the coroutine ran: takes the
// completion of a sync in flight, starts (and, where the client may be
// waiting, waits for) a sync as the header says, then releases what room
// allows. False when the store could not be written or synced.
bool group_commit_pump(GroupCommit* g, StoreFile* f, const GroupCommitCycle& cycle,
                       uint8_t** out_cur, uint8_t* out_end);
