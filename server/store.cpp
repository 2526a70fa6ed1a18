#include "server/store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chunk/store_append.h"
#include "common/record.h"

namespace {

// Called before every yield and at the end of the pass. With syncing off,
// writes the gathered new chunks: the records waiting in the output buffer
// may be sent as soon as the pass yields. With syncing on, the record of a
// chunk not yet synced is held until a sync, and every sync writes what is
// gathered first (store_file_sync): the chunks then go out a full append
// buffer at a time, not in one write per poll cycle. False once the store
// cannot be written.
bool flush_appends(PassContext* p) {
  return p->store.sync_off ? store_file_flush(&p->store) : !p->store.failed;
}

void handle_batch(PassContext* p);

inline size_t input_available(const PassContext* p) {
  return size_t(*p->io.in_end - *p->io.in_cur);
}

// Waits for more input. Returns false, without waiting, once the input has
// ended; true once input is buffered. The chunks cut so far are handled
// first, so their records are out before the pass waits. Handling them can
// wait for output room, and input may arrive, or end, meanwhile: the pass
// then goes on without waiting for input that is already there.
__attribute__((noinline)) bool wait_input(PassContext* p) {
  if (*p->io.end_of_input) return false;
  handle_batch(p);
  // A failed store ends the pass here: the records out already must not leave.
  if (!flush_appends(p)) return false;
  for (;;) {
    if (input_available(p) > 0) return true;
    if (*p->io.end_of_input) return false;
    // Resumed once input is buffered or has ended.
    coro_yield(p->io.co, p->io.wait_input_code);
  }
}

// Feeds input (then filler once the input has ended) until a chunk ends; the
// chunk's bytes grow in the batch arena.
void cut_chunk(PassContext* p) {
  bool ended = false;
  while (!ended) {
    if (!p->filler) {
      size_t avail = input_available(p);
      if (avail > p->remaining) avail = size_t(p->remaining);
      if (avail > 0) {
        size_t n = chunker_cut(&p->chunker, *p->io.in_cur, avail, chunk_batch_cut_at(&p->batch),
                               &ended);
        *p->io.in_cur += n;
        p->remaining -= n;
        continue;
      }
      if (p->remaining != 0 && wait_input(p)) continue;
      if (pass_store_failed(p)) return;
      p->filler = 1;
    }
    uint8_t f = chunker_filler_byte(&p->chunker);
    p->filler_count++;
    (void)chunker_cut(&p->chunker, &f, 1, chunk_batch_cut_at(&p->batch), &ended);
  }
}

// Writes the chunk's record. A record is begun only while the output cursor
// is below the output end: the driver may resume the pass after a send that
// left the buffer still full, and the pass then waits again.
// Returns false, without waiting, when the store cannot be written.
bool wait_output(PassContext* p) {
  if (!flush_appends(p)) return false;
  // Resumed once a send or write has made room; a buffer that has room
  // already (the caller tests before it waits) is never waited on.
  if (*p->io.out_cur >= *p->io.out_end) coro_yield(p->io.co, p->io.wait_output_code);
  return true;
}

// Makes room to hold one more record: synced records move to the output
// buffer as room allows; when the group is still full, the pass waits for
// the pump to sync it and move it on (group_commit_pump). Returns false
// when the store cannot be written or synced.
bool make_room_to_hold(PassContext* p) {
  GroupCommit* g = &p->commit;
  while (group_commit_full(g, &p->store)) {
    group_commit_release(g, p->io.out_cur, *p->io.out_end);
    // Resumed once the held records leave room (a sync covered them and
    // they moved on); the pump ends the connection if the sync failed.
    if (group_commit_full(g, &p->store)) coro_yield(p->io.co, kCoWaitHeld);
    if (p->store.failed) return false;
  }
  return true;
}

void emit_record(PassContext* p, const uint8_t* key, uint16_t real, uint64_t offset) {
  GroupCommit* g = &p->commit;
  // Held records synced meanwhile go first, while there is room.
  group_commit_release(g, p->io.out_cur, *p->io.out_end);
  // Held, in order, when its chunk is not synced yet or records before it
  // wait; else straight into the output buffer.
  const bool hold = group_commit_holds(g) || !store_file_offset_synced(&p->store, offset);
  uint8_t* at;
  if (hold) {
    if (!make_room_to_hold(p)) return;
    at = group_commit_next(g);
  } else {
    while (*p->io.out_cur >= *p->io.out_end) {
      if (!wait_output(p)) return;
    }
    at = *p->io.out_cur;
  }
  // Built only now: nothing below waits.
  ChunkRecord r;
  memcpy(r.digest, key, kRecDigestSize);
  r.real_length = real;
  r.offset = offset;
  encode_chunk_record(at, r);
  if (hold) {
    group_commit_held(g);
    return;
  }
  *p->io.out_cur += kChunkRecordSize;
  if (*p->io.out_cur >= *p->io.out_end) (void)wait_output(p);
}

// Store mode: looks the chunk up, appends it when new, then emits its record
// (unless the store could not be written).
void store_chunk(PassContext* p, uint32_t i) {
  const uint32_t full = p->batch.span[i].length;
  const uint8_t* key = chunk_batch_key(&p->batch, i);
  const uint64_t at = store_file_next_chunk_at(&p->store);
  uint64_t offset;
  switch (store_place_chunk(&p->index, key, at, &offset)) {
    case kPlaceKnown: break;
    case kPlaceNew:
      if (!store_file_append_chunk(&p->store, chunk_batch_bytes(&p->batch, i), full)) return;
      break;
    case kPlaceFull:
      store_file_fail(&p->store, "the store is full (40-bit chunk offsets); cannot append", at, 0);
      return;
  }
  // Only the last chunk holds filler bytes.
  uint16_t real = uint16_t(p->batch_last[i] ? full - p->filler_count : full);
  emit_record(p, key, real, offset);
}

// Digests the batch's chunks together, then handles them one by one in the
// order they were cut, so that the index sees the same calls in the same
// order as it would chunk by chunk: the same records, the same store bytes.
void handle_batch(PassContext* p) {
  const uint32_t n = p->batch.count;
  if (n > 0) {
    chunk_batch_digest(&p->batch);
    // The home slots of all of them are fetched while the first is handled.
    for (uint32_t i = 0; i < n; i++) index_prefetch(p->index.table, chunk_batch_key(&p->batch, i));
    for (uint32_t i = 0; i < n; i++) {
      store_chunk(p, i);
      if (pass_store_failed(p)) break;
    }
  }
  chunk_batch_restart(&p->batch, p->chunker.chunk_length);
}

}  // namespace

void pass_prepare_store_mode(PassContext* p, PlatFile store, uint8_t* index_table) {
  store_file_attach(&p->store, store);
  group_commit_attach(&p->commit, group_commit_static_buffer(), kHeldRecordsBytes);
  p->active = 0;
  p->index.table = index_table;
}

namespace {

void run_pass_body(PassContext* p, uint64_t length) {
  if (!store_file_begin(&p->store)) return;
  p->remaining = length;
  p->filler_count = 0;
  p->filler = 0;
  chunk_batch_clear(&p->batch);
  chunker_reset(&p->chunker);
  for (;;) {
    cut_chunk(p);
    if (pass_store_failed(p)) return;
    uint32_t i = chunk_batch_take(&p->batch, p->chunker.chunk_length);
    p->batch_last[i] = uint8_t(p->filler);
    chunker_next_chunk(&p->chunker);
    if (p->filler || chunk_batch_full(&p->batch)) {
      handle_batch(p);
    }
    if (p->filler || pass_store_failed(p)) {
      (void)flush_appends(p);
      return;
    }
  }
}

}  // namespace

void run_pass(PassContext* p, uint64_t length) {
  p->active = 1;
  run_pass_body(p, length);
  p->active = 0;
}
