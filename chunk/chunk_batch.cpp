#include "chunk/chunk_batch.h"

#include <cstring>

void chunk_batch_restart(ChunkBatch* b, uint32_t cutting) {
  b->count = 0;
  if (b->fill > 0 && cutting > 0) memmove(b->arena, b->arena + b->fill, cutting);
  b->fill = 0;
}
