#include "client/list_reader.h"

#include <cstring>

long refill_block(PlatFile file, uint8_t* buf, size_t cap, size_t* have, size_t* at) {
  const size_t part = *have - *at;
  memmove(buf, buf + *at, part);
  *have = part;
  *at = 0;
  const long n = plat_file_read(file, buf + part, cap - part);
  if (n > 0) *have += size_t(n);
  return n;
}

void list_open(ListReader* l, PlatFile file, uint8_t* buf) {
  *l = ListReader{file, buf, 0, 0, 0, 0, 0};
}

ListStep list_next(ListReader* l, ChunkRecord* rec) {
  while (l->have - l->at < kChunkRecordSize) {
    // Keep the start of a partial record at the front, then read on.
    long n = refill_block(l->file, l->buf, kListReadBlock, &l->have, &l->at);
    if (n < 0) {
      l->error = plat_file_last_error();
      return kListReadFailed;
    }
    if (n == 0) {
      l->stray = l->have;
      return kListEnd;
    }
  }
  *rec = decode_chunk_record(l->buf + l->at);
  l->at += kChunkRecordSize;
  l->index++;
  return kListRecord;
}
