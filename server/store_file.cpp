#include "server/store_file.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/store_format.h"
#include "platform/plat.h"

namespace {

// Appends n copies of one byte.
void append_repeated(StoreFile* f, uint8_t byte, uint64_t n) {
  while (n > 0 && !f->failed) {
    if (f->append_fill == kAppendBufferSize) (void)store_file_flush(f);
    size_t k = kAppendBufferSize - f->append_fill;
    if (k > n) k = size_t(n);
    memset(f->append_buf + f->append_fill, byte, k);
    f->append_fill += k;
    f->end += k;
    n -= k;
  }
}

// The first append after a restart completes a torn tail up to `at`.
void complete_tail(StoreFile* f, uint64_t at) {
  const uint64_t from = f->tail.padding_from;
  if (from != 0 && from < f->end && f->append_fill == 0 &&
      plat_file_seek(f->file, int64_t(from), kSeekBegin, nullptr) == 0) {
    f->end = from;  // the padding is written whole again
    if (f->synced_end > from) f->synced_end = from;
  }
  append_repeated(f, f->tail.fill, at - f->end);
  f->tail = StoreTail{0, 0};
}

}  // namespace

void store_file_attach(StoreFile* f, PlatFile file) {
  f->file = file;
  f->end = 0;
  f->tail = StoreTail{0, 0};
  f->append_fill = 0;
  f->failed = false;
  f->sync_off = true;  // until store_file_start
  f->synced_end = 0;
  f->sync_in_flight = false;
  f->sync_covers = 0;
  f->writeback_from = 0;
}

bool store_file_start(StoreFile* f, bool sync_off) {
  uint64_t size = 0;
  (void)plat_file_seek(f->file, 0, kSeekEnd, &size);  // the rebuild left it at the end
  f->sync_off = sync_off;
  if (!sync_off && plat_file_sync(f->file) != 0) {
    store_file_fail(f, "cannot sync the chunks found at start-up", 0, plat_file_last_error());
    return false;
  }
  f->synced_end = size;
  return true;
}

bool store_file_sync_start(StoreFile* f) {
  if (!store_file_flush(f)) return false;
  if (f->sync_off || f->sync_in_flight || f->synced_end == f->end) return true;
  const int r = plat_file_sync_start(f->file, f->end);
  if (r < 0) {
    store_file_fail(f, "cannot append chunks", f->synced_end, plat_file_last_error());
    return false;
  }
  if (r == 0) {
    f->synced_end = f->end;  // done at once
  } else {
    f->sync_in_flight = true;
    f->sync_covers = f->end;
  }
  return true;
}

bool store_file_sync_poll(StoreFile* f, bool wait) {
  if (f->failed) return false;
  if (!f->sync_in_flight) return true;
  const int r = plat_file_sync_poll(wait);
  if (r == 0) return true;
  f->sync_in_flight = false;
  if (r < 0) {
    store_file_fail(f, "cannot append chunks", f->synced_end, plat_file_last_error());
    return false;
  }
  f->synced_end = f->sync_covers;
  return true;
}

bool store_file_sync(StoreFile* f) {
  // A sync in flight may cover less than is written now: then another.
  if (!store_file_sync_poll(f, true) || !store_file_sync_start(f)) return false;
  return store_file_sync_poll(f, true);
}

bool store_file_begin(StoreFile* f) {
  // The position is at the end already (the store is only ever appended
  // to): one seek there tells the size and leaves it where it was.
  uint64_t size = 0;
  (void)plat_file_seek(f->file, 0, kSeekEnd, &size);
  // Chunks of an earlier pass may still wait in the append buffer (with
  // syncing on, they are written at the next sync or when it is full).
  f->end = size + f->append_fill;
  if (f->failed) return false;
  const uint64_t missing = store_header_missing(size);
  if (f->append_fill == 0 && missing > 0) {
    uint8_t header[kStoreHeaderSize];
    memset(header, kStoreHeaderByte, sizeof header);
    if (plat_file_write_all(f->file, header, size_t(missing)) != 0) {
      store_file_fail(f, "cannot write the store header", size, plat_file_last_error());
      return false;
    }
    f->end = kStoreHeaderSize;
  }
  return true;
}

uint64_t store_file_next_chunk_at(const StoreFile* f) {
  // A store whose size is not a multiple of 64 (an append cut short) is
  // filled before the next append, so that offsets and positions agree: a
  // torn padding with its chunk's last byte; a torn chunk with zeros up to
  // where later rebuilds cut in step again (store_rebuild_index).
  uint64_t at = padded_chunk_size(f->end);
  return f->tail.resync_at > at ? f->tail.resync_at : at;
}

bool store_file_append_chunk(StoreFile* f, const uint8_t* bytes, uint32_t full) {
  const uint64_t at = store_file_next_chunk_at(f);
  if (f->tail.resync_at != 0) {
    complete_tail(f, at);
  } else {
    append_repeated(f, 0, at - f->end);
  }
  const size_t padded = size_t(padded_chunk_size(full));
  if (f->failed) return false;
  if (f->append_fill + padded > kAppendBufferSize && !store_file_flush(f)) return false;
  uint8_t* dst = f->append_buf + f->append_fill;
  plat_copy(dst, bytes, full);  // the C runtime's memcpy is slow for this on Windows
  memset(dst + full, chunk_padding_byte(bytes, full), chunk_padding_size(full));
  f->append_fill += padded;
  f->end += padded;
  return true;
}

bool store_file_flush(StoreFile* f) {
  if (f->failed) return false;
  if (f->append_fill == 0) return true;
  const uint64_t at = f->end - f->append_fill;
  if (plat_file_write_all(f->file, f->append_buf, f->append_fill) != 0) {
    store_file_fail(f, "cannot append chunks", at, plat_file_last_error());
    return false;
  }
  f->append_fill = 0;
  if (f->writeback_from < f->synced_end || f->writeback_from > at) f->writeback_from = at;
  if (!f->sync_off && f->end - f->writeback_from >= kWritebackBlock) {
    plat_file_start_writeback(f->file, f->writeback_from, f->end - f->writeback_from);
    f->writeback_from = f->end;
  }
  return true;
}

void store_file_fail(StoreFile* f, const char* what, uint64_t position, int err) {
  if (f->failed) return;
  f->failed = true;
  fprintf(stderr, "chunkstore: %s at byte %" PRIu64 " of \"%s\": %s; exiting\n", what, position,
          kStoreFileName, err ? plat_error_text(err) : "nothing was written");
}
