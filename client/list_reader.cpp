#include "client/list_reader.h"

#include <cstring>

void list_open(ListReader* l, PlatFile file, uint8_t* buf) {
  *l = ListReader{file, buf, 0, 0, 0, 0, 0};
}

ListStep list_next(ListReader* l, ChunkRecord* rec) {
  while (l->have - l->at < kChunkRecordSize) {
    // Keep the start of a partial record at the front, then read on.
    size_t part = l->have - l->at;
    memmove(l->buf, l->buf + l->at, part);
    l->have = part;
    l->at = 0;
    long n = plat_file_read(l->file, l->buf + part, kListReadBlock - part);
    if (n < 0) {
      l->error = plat_file_last_error();
      return kListReadFailed;
    }
    if (n == 0) {
      l->stray = part;
      return kListEnd;
    }
    l->have += size_t(n);
  }
  *rec = decode_chunk_record(l->buf + l->at);
  l->at += kChunkRecordSize;
  l->index++;
  return kListRecord;
}
