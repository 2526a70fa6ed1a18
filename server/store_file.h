// The store file "$dump" as the store passes append to it: new chunks are
// gathered in an append buffer and written in large blocks; a store that
// ends in a torn chunk or padding is filled up to where the next chunk must
// go; a store shorter than its header gets the header first. A write that
// fails is reported on stderr once, and the file takes nothing more: the
// pass that appended stops without handing out another record, and the
// server exits with kStoreFailedStatus, so that the record of a chunk whose
// bytes are not stored never reaches a client and the next start rebuilds
// the index from what the file really holds.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/store_format.h"
#include "platform/plat.h"

// The exit status of a server whose store file cannot be written.
constexpr int kStoreFailedStatus = 3;

constexpr size_t kAppendBufferSize = 256 * 1024;
// Written bytes are handed to the system's writeback in blocks of at least
// this much: one call per 32 KiB flush cost more than the syncs it spared.
constexpr uint64_t kWritebackBlock = 2 << 20;

struct StoreFile {
  PlatFile file;
  uint64_t end;      // file position after the last byte appended (buffered or not)
  StoreTail tail;    // still to be stepped over by the next append
  size_t append_fill;
  bool failed;       // a write failed and was reported; nothing more is written
  // Durability: the file's bytes below synced_end are on the disk (a sync
  // that completed after they were written covers them); a record naming a
  // chunk there may leave at once, others wait for the next sync. With
  // syncing off (store_file_start) every written byte counts as synced.
  bool sync_off;
  uint64_t synced_end;
  // A sync started and not yet seen complete (store_file_sync_start); it
  // covers the file up to sync_covers.
  bool sync_in_flight;
  uint64_t sync_covers;
  uint64_t writeback_from;  // bytes before it were handed to the system's writeback
  alignas(64) uint8_t append_buf[kAppendBufferSize];
};

// Takes the open store file, with no torn tail to step over, and syncing
// off (every byte written counts as synced) until store_file_start.
void store_file_attach(StoreFile* f, PlatFile file);

// At start-up, after the rebuild: syncs the whole file once (unless
// sync_off), so that the chunks the rebuild found, which a crash may have
// left unsynced, are on the disk before any record names them. Returns
// false after a message when the sync fails.
bool store_file_start(StoreFile* f, bool sync_off);

// Whether the chunk at ChunkOffset `offset` lies in the synced part of the
// file, so that its record needs no further sync.
inline bool store_file_offset_synced(const StoreFile* f, uint64_t offset) {
  return f->sync_off || (offset << kChunkAlignShift) < f->synced_end;
}

// Writes what is gathered and starts a sync of the file that completes
// while the caller goes on (plat_file_sync_start; where the system has no
// such thing it is done at once). Nothing happens when a sync is in flight
// already, or every byte is synced. A failed sync is a failed write:
// reported the same way, and nothing more is written. Returns false once a
// write or a sync failed. With syncing off it only writes.
bool store_file_sync_start(StoreFile* f);
// Takes the completion of the sync in flight, if it has come (with `wait`,
// waits for it): synced_end moves up to what it covered. False once a
// write or a sync failed.
bool store_file_sync_poll(StoreFile* f, bool wait);
inline bool store_file_sync_in_flight(const StoreFile* f) { return f->sync_in_flight; }

// Writes what is gathered and syncs the file, waiting: every chunk appended
// so far is then on the disk. False once a write or a sync failed.
bool store_file_sync(StoreFile* f);

// Lets the next appends step over the tail a rebuild found.
inline void store_file_set_tail(StoreFile* f, const StoreTail& tail) { f->tail = tail; }

// Before a store pass: learns where the file ends (beyond it, what waits in
// the append buffer), and writes the header when the file is shorter than it (a header cut short is finished with
// the same byte: readers take the store by its header). Returns false
// when the header cannot be written.
bool store_file_begin(StoreFile* f);

// Where the next new chunk goes: the end of the file rounded up to 64, or
// beyond the torn tail to step over.
uint64_t store_file_next_chunk_at(const StoreFile* f);

// Appends a chunk of `full` bytes (1 to 65535) at store_file_next_chunk_at,
// padded with copies of its last byte, filling the gap before it with the
// tail's byte. Returns false once a write failed.
bool store_file_append_chunk(StoreFile* f, const uint8_t* bytes, uint32_t full);

// Writes what is gathered, and asks the system to start writing it to the
// disk, so that the next sync finds little left. Called before the pass
// yields or returns. Returns false once a write failed.
bool store_file_flush(StoreFile* f);

// Reports a failure at file position `position` (err 0: nothing was
// written) and takes nothing more.
void store_file_fail(StoreFile* f, const char* what, uint64_t position, int err);
