#include "client/store_copy.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "chunk/store_append.h"
#include "common/bytes.h"

namespace {

#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void stop_at(StoreCopy* c, uint64_t index, const ChunkRecord& rec, const char* fmt, ...) {
  if (c->stopped) return;
  c->stopped = true;
  c->bad_index = index;
  c->bad_rec = rec;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(c->bad_what, sizeof c->bad_what, fmt, ap);
  va_end(ap);
}

// A verified chunk: stored in the new store unless its index holds it, and
// its record rewritten with the offset there.
void place_chunk(StoreCopy* c, const uint8_t* key, const uint8_t* bytes, uint32_t full,
                 const ChunkRecord& rec, uint64_t index) {
  if (const uint64_t missing = store_header_missing(c->new_size)) {
    output_fill(c->store, kStoreHeaderByte, size_t(missing));
    c->new_size += missing;
  }
  const uint64_t at = c->new_size;
  uint64_t offset;
  switch (store_place_chunk(&c->index, key, at, &offset)) {
    case kPlaceKnown: break;
    case kPlaceNew:
      output_write(c->store, bytes, full);
      output_fill(c->store, chunk_padding_byte(bytes, full), size_t(chunk_padding_size(full)));
      c->new_size += padded_chunk_size(full);
      c->chunks_copied++;
      break;
    case kPlaceFull:
      stop_at(c, index, rec, "the new store would reach 2^46 bytes, beyond 40-bit ChunkOffsets");
      return;
  }
  uint8_t out[kChunkRecordSize];
  ChunkRecord r = rec;
  r.offset = offset;
  encode_chunk_record(out, r);
  output_write(c->list, out, sizeof out);
  c->records++;
  c->real_bytes += rec.real_length;
}

}  // namespace

void copy_begin(StoreCopy* c, uint8_t* index_table, OutputFile* store) {
  chunker_reset(&c->chunker);
  batch_clear(&c->batch);
  c->index.table = index_table;
  c->index.found_offset = 0;
  c->store = store;
  c->list = nullptr;
  c->new_size = 0;
  c->chunks_copied = 0;
  c->records = 0;
  c->real_bytes = 0;
  c->stopped = false;
  c->bad_index = 0;
  c->bad_what[0] = 0;
}

void copy_list_begin(StoreCopy* c, OutputFile* list) { c->list = list; }

bool copy_settle(StoreCopy* c) {
  VerifyBatch* b = &c->batch;
  if (c->stopped) return false;
  const size_t n = batch_count(b);
  if (n == 0) return true;
  batch_digest(b);
  // The home slots of the whole batch are fetched while the first is placed.
  for (size_t i = 0; i < n; i++) index_prefetch(c->index.table, chunk_batch_key(&b->chunks, i));
  for (size_t i = 0; i < n && !c->stopped; i++) {
    if (batch_match(b, i) != kChunkMatches) {
      stop_at(c, b->index[i], b->rec[i], "the stored chunk does not match the record's digest");
      break;
    }
    place_chunk(c, chunk_batch_key(&b->chunks, i), batch_bytes(b, i), b->chunks.span[i].length,
                b->rec[i], b->index[i]);
  }
  batch_clear(b);
  return !c->stopped;
}

bool copy_record(StoreCopy* c, uint64_t index, const ChunkRecord& rec) {
  if (c->stopped) return false;
  StoreWindow* w = &c->old;
  if (rec.offset == 0) {
    if (copy_settle(c)) stop_at(c, index, rec, "ChunkOffset 0 is the store header, not a chunk");
    return false;
  }
  const uint64_t pos = rec.offset << kChunkAlignShift;
  if (!record_inside_store(rec, w->size)) {
    if (copy_settle(c)) {
      stop_at(c, index, rec, "reaches byte %" PRIu64 ", past the end of the store (%" PRIu64 " bytes)",
              pos + rec.real_length, w->size);
    }
    return false;
  }
  size_t got = 0;
  const uint8_t* p = window_view(w, pos, kMaxChunkLength, &got);
  if (p == nullptr) {
    if (copy_settle(c)) stop_at(c, index, rec, "reading the store failed: %s", plat_error_text(w->error));
    return false;
  }
  if (batch_add(&c->batch, &c->chunker, p, got, rec, index) == kChunkCutShort) {
    if (copy_settle(c)) stop_at(c, index, rec, "the store ends before the chunk does");
    return false;
  }
  if (!batch_has_room(&c->batch)) return copy_settle(c);
  return true;
}
