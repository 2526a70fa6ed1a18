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
    g->end = n;
    g->begin = 0;
  }
  return g->buf + g->end;
}

void group_commit_held(GroupCommit* g) {
  if (!group_commit_waits_for_sync(g)) g->first_unsynced_ms = g->clock();
  g->end += kChunkRecordSize;
}

bool group_commit_sync(GroupCommit* g, StoreFile* f) {
  if (!store_file_sync(f)) return false;
  g->synced = g->end;
  return true;
}

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

bool group_commit_pump(GroupCommit* g, StoreFile* f, bool waits_for_input, bool input_came,
                       bool over, uint8_t** out_cur, uint8_t* out_end) {
  if (group_commit_waits_for_sync(g)) {
    const bool due =
        over || (waits_for_input && (!input_came ||
                                     g->clock() - g->first_unsynced_ms >= kGroupCommitMaxWaitMs));
    if (due && !group_commit_sync(g, f)) return false;
  }
  group_commit_release(g, out_cur, out_end);
  return true;
}
