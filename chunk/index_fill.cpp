#include "chunk/index_fill.h"

#include <cinttypes>
#include <cstdio>

#include "common/bytes.h"

uint64_t index_count_entries(const uint8_t* table) {
  uint64_t n = 0;
  for (uint32_t s = 0; s < kIndexSlots; s++) {
    const uint8_t* p = table + size_t(s) * kIndexSlotSize;
    n += (load_le32(p + kSlotOffsetLow) | p[kSlotOffsetHigh]) != 0;
  }
  return n;
}

const char* index_fill_warning(char* buf, size_t cap, uint64_t chunks) {
  snprintf(buf, cap,
           "the index is %.1f%% full (%" PRIu64 " distinct chunks, %u slots): past %u%% "
           "it starts to forget chunks, which are then stored again; copy the lists you "
           "keep into a new store (chunkcopy)",
           index_fill_percent(chunks), chunks, unsigned(kIndexSlots),
           unsigned(kIndexFillWarnPercent));
  return buf;
}
