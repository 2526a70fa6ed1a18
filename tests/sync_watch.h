// A stand-in for the system's sync of the store file in simulations: set
// with plat_set_file_sync_hook, it counts the syncs and notes the store's
// size at each one, so that a test can check that every record the server
// sends names bytes a completed sync covered.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/record.h"
#include "platform/plat.h"

struct SyncWatch {
  size_t syncs = 0;
  uint64_t synced_size = 0;

  static int sync(void* ctx, PlatFile f) {
    SyncWatch* w = static_cast<SyncWatch*>(ctx);
    uint64_t pos = 0, size = 0;
    (void)plat_file_seek(f, 0, kSeekCurrent, &pos);
    (void)plat_file_seek(f, 0, kSeekEnd, &size);
    (void)plat_file_seek(f, int64_t(pos), kSeekBegin, nullptr);
    w->syncs++;
    w->synced_size = size;
    return 0;
  }

  // Where the bytes a record names end in the store.
  static uint64_t chunk_end(const ChunkRecord& r) {
    return (r.offset << kChunkAlignShift) + r.real_length;
  }
  // Whether the last sync covered what the record names.
  bool covers(const ChunkRecord& r) const { return chunk_end(r) <= synced_size; }
};
