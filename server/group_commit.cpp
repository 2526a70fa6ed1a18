#include "server/group_commit.h"

#include <cstring>

namespace {

alignas(64) uint8_t g_held_records[kHeldRecordsBytes];

}  // namespace

uint8_t* group_commit_static_buffer() { return g_held_records; }

void group_commit_attach(GroupCommit* g, uint8_t* buf, size_t bytes) {
  g->buf = buf;
  g->capacity = bytes / kChunkRecordSize * kChunkRecordSize;
  g->first_unsynced_ms = 0;
  g->clock = plat_monotonic_ms;
  group_commit_clear(g);
}

uint8_t* group_commit_next(GroupCommit* g) {
  if (g->end + kChunkRecordSize > g->capacity) {
    // The held records move to the front; the buffer is not full, so the
    // next one fits behind them.
    const size_t n = g->end - g->begin;
    memmove(g->buf, g->buf + g->begin, n);
    g->synced -= g->begin;
    g->covering = g->covering > g->begin ? g->covering - g->begin : 0;
    g->end = n;
    g->begin = 0;
  }
  return g->buf + g->end;
}

void group_commit_held(GroupCommit* g) {
  if (!group_commit_waits_for_sync(g)) g->first_unsynced_ms = g->clock();
  g->end += kChunkRecordSize;
}

namespace {

// The sync that covered [begin, covering) has completed.
void covered(GroupCommit* g) {
  if (g->covering > g->synced) g->synced = g->covering;
  // Those still waiting have waited at most since now, as far as the next
  // sync's timing goes.
  if (group_commit_waits_for_sync(g)) g->first_unsynced_ms = g->clock();
}

}  // namespace

void group_commit_release(GroupCommit* g, uint8_t** out_cur, uint8_t* out_end) {
  if (g->synced == g->begin || *out_cur >= out_end) return;
  // Whole records while the cursor is below the end: the last one may
  // reach up to 20 bytes beyond it, into the reserve.
  size_t room = size_t(out_end - *out_cur);
  size_t records = (room + kChunkRecordSize - 1) / kChunkRecordSize;
  size_t n = records * kChunkRecordSize;
  if (n > g->synced - g->begin) n = g->synced - g->begin;
  memcpy(*out_cur, g->buf + g->begin, n);
  *out_cur += n;
  g->begin += n;
  if (g->begin == g->end) group_commit_clear(g);
}

bool group_commit_pump(GroupCommit* g, StoreFile* f, const GroupCommitCycle& cycle,
                       uint8_t** out_cur, uint8_t* out_end) {
  // The client may be waiting for the records: the handler waits for a
  // command that did not come, or has ended; or the pass cannot go on.
  const bool now = cycle.over || cycle.blocked ||
                   (cycle.waits_for_input && !cycle.input_came && !cycle.in_file);
  if (store_file_sync_in_flight(f)) {
    const bool wait = now && g->covering > g->synced;
    if (!store_file_sync_poll(f, wait)) return false;
    if (!store_file_sync_in_flight(f)) covered(g);
  }
  if (group_commit_waits_for_sync(g) && !store_file_sync_in_flight(f)) {
    // Started without waiting: the group is large, or its oldest record has
    // waited long, or the client paused in the middle of a file (its records
    // then come soon after; a peer that vanished then has nothing in flight,
    // so keepalive finds it gone).
    const bool early = f->end - f->synced_end >= kGroupCommitStartBytes ||
                       g->clock() - g->first_unsynced_ms >= kGroupCommitMaxWaitMs ||
                       (cycle.waits_for_input && !cycle.input_came);
    if (now || early) {
      g->covering = g->end;
      if (!store_file_sync_start(f)) return false;
      if (store_file_sync_in_flight(f) && now && !store_file_sync_poll(f, true)) return false;
      if (!store_file_sync_in_flight(f)) covered(g);
    }
  }
  group_commit_release(g, out_cur, out_end);
  return true;
}
