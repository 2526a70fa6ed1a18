// A stand-in for the system's sync of the store file in simulations: set
// with plat_set_file_sync_hook, it counts the syncs and notes the store's
// size at each one, so that a test can check that every record the server
// sends names bytes a completed sync covered. Set with
// plat_set_file_sync_start_hook as well (start_hook, poll_hook), a started
// sync stays in flight for `delay` polls that do not wait, covering the
// store's size when it started; only its completion counts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/record.h"
#include "platform/plat.h"

struct SyncWatch {
  size_t syncs = 0;
  uint64_t synced_size = 0;
  // A sync in flight: what it covers, and the polls it takes yet.
  size_t delay = 0;
  bool in_flight = false;
  uint64_t flight_size = 0;
  size_t polls_left = 0;
  size_t started_in_flight = 0;  // syncs that were in flight at some poll

  static uint64_t size_of(PlatFile f) {
    uint64_t pos = 0, size = 0;
    (void)plat_file_seek(f, 0, kSeekCurrent, &pos);
    (void)plat_file_seek(f, 0, kSeekEnd, &size);
    (void)plat_file_seek(f, int64_t(pos), kSeekBegin, nullptr);
    return size;
  }

  static int sync(void* ctx, PlatFile f) {
    SyncWatch* w = static_cast<SyncWatch*>(ctx);
    w->syncs++;
    w->synced_size = size_of(f);
    return 0;
  }

  static int start_hook(void* ctx, PlatFile f, uint64_t) {
    SyncWatch* w = static_cast<SyncWatch*>(ctx);
    if (w->in_flight) return -1;  // one at a time
    w->in_flight = true;
    w->flight_size = size_of(f);
    w->polls_left = w->delay;
    return 1;
  }

  static int poll_hook(void* ctx, bool wait) {
    SyncWatch* w = static_cast<SyncWatch*>(ctx);
    if (!w->in_flight) return 1;
    if (!wait && w->polls_left > 0) {
      if (w->polls_left == w->delay) w->started_in_flight++;
      w->polls_left--;
      return 0;
    }
    w->in_flight = false;
    w->syncs++;
    w->synced_size = w->flight_size;
    return 1;
  }

  // Where the bytes a record names end in the store.
  static uint64_t chunk_end(const ChunkRecord& r) {
    return (r.offset << kChunkAlignShift) + r.real_length;
  }
  // Whether the last sync covered what the record names.
  bool covers(const ChunkRecord& r) const { return chunk_end(r) <= synced_size; }
};
