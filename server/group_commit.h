// Group commit: a record that names a chunk appended since the last sync of
// the store file leaves only after a sync that completed after the chunk
// was written. Such records, and every record after them (the order on the
// wire is the order of the chunks), wait here, and one sync releases the
// records of many chunks at once:
//
//   - the pass holds records as it emits them, and syncs itself when the
//     held records fill the buffer or name too many unsynced bytes;
//   - the pump syncs when the pass waits for input that did not come in
//     this poll cycle (the client may be waiting for its last records), or
//     has waited longer than kGroupCommitMaxWaitMs with input trickling in,
//     and when the handler has ended; it then moves the synced records into
//     the output buffer as room allows.
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
// The pass syncs once this many bytes were appended since the last sync,
// however few records name them (long chunks).
constexpr uint64_t kGroupCommitMaxBytes = uint64_t(64) << 20;
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
  // a completed sync and wait only for output room.
  size_t begin;
  size_t synced;
  size_t end;
  uint64_t first_unsynced_ms;  // when the oldest record waiting for a sync was held
  uint64_t (*clock)();         // milliseconds; plat_monotonic_ms but in simulations
};

// Sets g up empty over `bytes` bytes of buf (at least one record).
void group_commit_attach(GroupCommit* g, uint8_t* buf, size_t bytes);
// The server's static buffer of kHeldRecordsBytes.
uint8_t* group_commit_static_buffer();

// Drops every held record (a new connection, a lost peer, a failed store).
inline void group_commit_clear(GroupCommit* g) { g->begin = g->synced = g->end = 0; }

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

// Syncs the store file: every held record is covered afterwards. False once
// the store cannot be written or synced (reported by the store file).
bool group_commit_sync(GroupCommit* g, StoreFile* f);

// Moves synced records into the output buffer, in order, while the output
// cursor is below out_end (a record may reach into the buffer's reserve,
// as any record the pass writes).
void group_commit_release(GroupCommit* g, uint8_t** out_cur, uint8_t* out_end);

// The pump's step, once per poll cycle after the coroutine ran: syncs when
// the pass waits for input and none came in this cycle (or the oldest
// record has waited kGroupCommitMaxWaitMs), or the handler has ended
// (`over`); then releases what room allows. False when the sync failed.
bool group_commit_pump(GroupCommit* g, StoreFile* f, bool waits_for_input, bool input_came,
                       bool over, uint8_t** out_cur, uint8_t* out_end);
