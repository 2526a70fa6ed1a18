#include "server/store_rebuild.h"

#include <cinttypes>
#include <cstdio>

#include "chunk/chunk_index.h"
#include "chunk/store_walk.h"

namespace {

struct RebuildRecord {
  FileCoroutine fc;  // first: the body reaches the record from it
  StoreWalk walk;
  IndexContext index;
  uint64_t store_size;
  uint64_t started_ms;
  uint64_t reported_ms;
  uint64_t progress_ms;  // reports after this long, and as often
};

RebuildRecord g_rebuild;
alignas(64) uint8_t g_rebuild_in[kFileBlockSize];
alignas(64) uint8_t g_rebuild_out[kFileBlockSize];
uint64_t g_progress_interval_ms = 1000;

uint64_t file_size(PlatFile f) {
  uint64_t size = 0;
  (void)plat_file_seek(f, 0, kSeekEnd, &size);
  return size;
}

void report_progress(RebuildRecord* r, bool done) {
  const uint64_t now = plat_monotonic_ms();
  if (now - r->started_ms < r->progress_ms) return;
  if (!done && now - r->reported_ms < r->progress_ms) return;
  r->reported_ms = now;
  if (done) {
    fprintf(stderr, "chunkstore: index rebuilt from %" PRIu64 " bytes in %.1f s\n",
            r->store_size, double(now - r->started_ms) / 1000.0);
  } else {
    fprintf(stderr, "chunkstore: rebuilding the index: %" PRIu64 " of %" PRIu64 " MB read\n",
            r->walk.pos >> 20, r->store_size >> 20);
  }
}

// Enters the chunks of the batch, in the order they were cut; on a hit the
// index keeps the earlier copy, as a store pass would have found it.
void enter_batch(RebuildRecord* r) {
  ChunkBatch* b = &r->walk.batch;
  const uint32_t n = b->count;
  if (n > 0) {
    chunk_batch_digest(b);
    // The home slots of all of them are fetched while the first is entered.
    for (uint32_t i = 0; i < n; i++) index_prefetch(r->index.table, chunk_batch_key(b, i));
    for (uint32_t i = 0; i < n; i++) {
      (void)ChunkIndex::lookup_or_insert(&r->index, chunk_batch_key(b, i),
                                         r->walk.batch_offset[i]);
    }
  }
  walk_batch_taken(&r->walk);
}

void rebuild_body(Coroutine* co) {
  RebuildRecord* r = reinterpret_cast<RebuildRecord*>(co);
  FileCoroutine* fc = &r->fc;
  for (;;) {
    while (fc->in_cur < fc->in_end) {
      fc->in_cur += walk_feed(&r->walk, fc->in_cur, size_t(fc->in_end - fc->in_cur));
      if (walk_batch_full(&r->walk)) enter_batch(r);
    }
    enter_batch(r);  // a block of the store makes one batch
    report_progress(r, false);
    if (fc->end_of_input) break;
    // Resumed once the driver has read the next block, or found the end.
    coro_yield(co, kFcNeedInput);
  }
  coro_yield(co, kFcFinished);  // never resumed: the driver loop ends
}

}  // namespace

void store_set_progress_interval_ms(uint64_t ms) { g_progress_interval_ms = ms; }

const FileCoroutine* store_rebuild_coroutine() { return &g_rebuild.fc; }

bool store_rebuild_index(PlatFile store, uint8_t* index_table, StoreTail* tail, FileIo io) {
  *tail = StoreTail{0, 0};
  RebuildRecord* r = &g_rebuild;
  r->store_size = file_size(store);
  if (r->store_size == 0) return true;  // the first append writes the header
  (void)plat_file_seek(store, int64_t(kStoreHeaderSize), kSeekBegin, nullptr);
  r->index.table = index_table;
  r->started_ms = r->reported_ms = plat_monotonic_ms();
  r->progress_ms = g_progress_interval_ms;
  walk_begin(&r->walk, kStoreHeaderSize, false);
  FileDriverResult res =
      file_driver_run(&r->fc, rebuild_body, store, g_rebuild_in, kPlatNoFile, g_rebuild_out, io);
  if (res.read_failed) {
    fprintf(stderr, "chunkstore: reading \"%s\" failed after %" PRIu64 " bytes (%s); "
            "the index cannot be rebuilt, so the server does not start\n", kStoreFileName,
            r->walk.pos, plat_error_text(res.error));
    return false;
  }
  *tail = walk_end(&r->walk);
  report_progress(r, true);
  (void)plat_file_seek(store, 0, kSeekEnd, nullptr);
  return true;
}
