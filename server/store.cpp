#include "server/store.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  if (p->mode == kRebuildMode) return true;
  return p->store.sync_off ? store_file_flush(&p->store) : !p->store.failed;
}

// A rebuild reports once it has run this long, and again each time this
// much more has passed.
uint64_t g_progress_interval_ms = 1000;

void report_rebuild_progress(PassContext* p, bool done) {
  uint64_t now = plat_monotonic_ms();
  if (now - p->started_ms < p->progress_ms) return;
  if (!done && now - p->reported_ms < p->progress_ms) return;
  p->reported_ms = now;
  if (done) {
    fprintf(stderr, "chunkstore: index rebuilt from %" PRIu64 " bytes in %.1f s\n",
            p->store_size, double(now - p->started_ms) / 1000.0);
  } else {
    fprintf(stderr, "chunkstore: rebuilding the index: %" PRIu64 " of %" PRIu64 " MB read\n",
            p->end_of_store >> 20, p->store_size >> 20);
  }
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
  if (p->mode == kRebuildMode) report_rebuild_progress(p, false);
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
// A rebuild feeds zeros instead of filler: its last chunk is never entered,
// and a torn one cut with zeros shows where the bytes that the next append
// writes after it must end (store_rebuild_index).
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
    uint8_t f = p->mode == kRebuildMode ? 0 : chunker_filler_byte(&p->chunker);
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
  if (at >= kStoreOffsetLimit) {
    // Beyond 2^46 bytes a 40-bit offset would wrap: known chunks are still
    // answered, new ones cannot be stored.
    if (!ChunkIndex::lookup_or_insert(&p->index, key, 0)) {
      store_file_fail(&p->store, "the store is full (40-bit chunk offsets); cannot append", at, 0);
      return;
    }
    offset = p->index.found_offset;
  } else if (ChunkIndex::lookup_or_insert(&p->index, key, at >> kChunkAlignShift)) {
    offset = p->index.found_offset;
  } else {
    offset = at >> kChunkAlignShift;
    if (!store_file_append_chunk(&p->store, chunk_batch_bytes(&p->batch, i), full)) return;
  }
  // Only the last chunk holds filler bytes.
  uint16_t real = uint16_t(p->batch_last[i] ? full - p->filler_count : full);
  emit_record(p, key, real, offset);
}

// Rebuild mode, as soon as a chunk is cut: skips its padding in the input.
// A store that ends inside the padding gets it completed with the chunk's
// last byte at the next append (store_rebuild_index).
void skip_padding(PassContext* p, uint32_t full, uint8_t last_byte) {
  uint64_t padded = padded_chunk_size(full);
  uint64_t skip = padded - full;
  while (skip > 0) {
    size_t avail = input_available(p);
    if (avail > 0) {
      size_t n = avail < skip ? avail : size_t(skip);
      *p->io.in_cur += n;
      skip -= n;
    } else if (!wait_input(p)) {
      // The last chunk, completed with filler the store lacks, has no
      // stored padding to finish.
      if (!p->filler) {
        p->padding_tail = StoreTail{p->end_of_store + padded, last_byte, p->end_of_store + full};
      }
      break;
    }
  }
  p->end_of_store += padded;
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
      if (p->mode == kRebuildMode) {
        // The last chunk is completed with filler bytes that are not in the
        // file: it is not entered, so the index never names bytes the store
        // lacks. On a hit the index keeps the earlier copy.
        if (!p->batch_last[i]) {
          (void)ChunkIndex::lookup_or_insert(&p->index, chunk_batch_key(&p->batch, i),
                                             p->batch_stored[i] >> kChunkAlignShift);
        }
      } else {
        store_chunk(p, i);
        if (pass_store_failed(p)) break;
      }
    }
  }
  chunk_batch_restart(&p->batch, p->chunker.chunk_length);
}

uint64_t file_size(PlatFile f) {
  uint64_t pos = 0, size = 0;
  (void)plat_file_seek(f, 0, kSeekCurrent, &pos);
  (void)plat_file_seek(f, 0, kSeekEnd, &size);
  (void)plat_file_seek(f, int64_t(pos), kSeekBegin, nullptr);
  return size;
}

}  // namespace

void pass_prepare_store_mode(PassContext* p, PlatFile store, uint8_t* index_table) {
  store_file_attach(&p->store, store);
  group_commit_attach(&p->commit, group_commit_static_buffer(), kHeldRecordsBytes);
  p->mode = kStoreMode;
  p->active = 0;
  p->chunker_ready = 0;
  p->index.table = index_table;
}

namespace {

void run_pass_body(PassContext* p, uint64_t length) {
  if (p->mode == kStoreMode) {
    if (!store_file_begin(&p->store)) return;
    p->store_size = p->end_of_store = p->store.end;
  } else {
    p->store_size = file_size(p->store.file);
    p->end_of_store = kStoreHeaderSize;
  }
  p->remaining = length;
  p->filler_count = 0;
  p->filler = 0;
  chunk_batch_clear(&p->batch);
  // Every pass starts the chunker afresh; its tables, the same for every
  // pass, are built by the first (a tenth of a small file's time).
  if (p->chunker_ready) {
    chunker_restart(&p->chunker);
  } else {
    chunker_reset(&p->chunker);
    p->chunker_ready = 1;
  }
  for (;;) {
    cut_chunk(p);
    if (pass_store_failed(p)) return;
    uint32_t full = p->chunker.chunk_length;
    p->last_full = full;
    uint32_t i = chunk_batch_take(&p->batch, full);
    p->batch_last[i] = uint8_t(p->filler);
    p->batch_stored[i] = p->end_of_store;
    chunker_next_chunk(&p->chunker);
    if (p->mode == kRebuildMode) skip_padding(p, full, p->batch.span[i].bytes[full - 1]);
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

namespace {

struct RebuildRecord {
  FileCoroutine fc;  // first: the body reaches the record from it
  PassContext pass;
};

RebuildRecord g_rebuild;
alignas(64) uint8_t g_rebuild_in[kFileBlockSize];
alignas(64) uint8_t g_rebuild_out[kFileBlockSize];

void rebuild_body(Coroutine* co) {
  RebuildRecord* r = reinterpret_cast<RebuildRecord*>(co);
  run_pass(&r->pass, ~uint64_t(0));
  coro_yield(co, kFcFinished);  // never resumed: the driver loop ends
}

}  // namespace

void store_set_progress_interval_ms(uint64_t ms) { g_progress_interval_ms = ms; }

const FileCoroutine* store_rebuild_coroutine() { return &g_rebuild.fc; }

bool store_rebuild_index(PlatFile store, uint8_t* index_table, StoreTail* tail, FileIo io) {
  *tail = StoreTail{0, 0};
  if (file_size(store) == 0) return true;  // the first append writes the header
  (void)plat_file_seek(store, int64_t(kStoreHeaderSize), kSeekBegin, nullptr);
  RebuildRecord* r = &g_rebuild;
  PassContext* p = &r->pass;
  store_file_attach(&p->store, store);
  p->mode = kRebuildMode;
  p->chunker_ready = 0;
  p->index.table = index_table;
  p->padding_tail = StoreTail{0, 0};
  p->started_ms = p->reported_ms = plat_monotonic_ms();
  p->progress_ms = g_progress_interval_ms;
  pass_attach_io(p, &r->fc.co, &r->fc, &r->fc.end_of_input, kFcNeedInput, kFcOutputFull);
  FileDriverResult res =
      file_driver_run(&r->fc, rebuild_body, store, g_rebuild_in, kPlatNoFile, g_rebuild_out, io);
  if (res.read_failed) {
    fprintf(stderr, "chunkstore: reading \"%s\" failed after %" PRIu64 " bytes (%s); "
            "the index cannot be rebuilt, so the server does not start\n", kStoreFileName,
            p->end_of_store, plat_error_text(res.error));
    return false;
  }
  // The last chunk was completed with zeros; when it held stored bytes, the
  // store ends in a torn chunk, and the position after that chunk and its
  // padding (zeros too) is where new chunks must begin. Otherwise the store
  // may end inside a whole chunk's padding (skip_padding noted it).
  if (p->last_full > p->filler_count) {
    *tail = StoreTail{p->end_of_store, 0};
  } else if (p->padding_tail.resync_at != 0) {
    *tail = p->padding_tail;
  }
  report_rebuild_progress(p, true);
  (void)plat_file_seek(store, 0, kSeekEnd, nullptr);
  return true;
}
