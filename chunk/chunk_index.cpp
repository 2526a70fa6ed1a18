#include "chunk/chunk_index.h"

#include <cstring>

#include "common/bytes.h"
#include "common/record.h"

namespace {

inline bool slot_is_empty(const uint8_t* s) {
  return (load_le32(s + kSlotOffsetLow) | s[kSlotOffsetHigh]) == 0;
}

// Inserts key with offset into the window at home, whose first n slots are
// occupied (n == 16: all of them) and, when n < 16, slot home + n is empty.
void insert(IndexContext* ctx, const uint8_t* key, uint64_t offset, uint32_t home, uint32_t n) {
  GatherEntry* g = ctx->gather;
  // Gather the occupied run.
  for (uint32_t k = 0; k < n; k++) {
    uint32_t slot = (home + k) & kIndexSlotMask;
    const uint8_t* s = index_slot(ctx->table, slot);
    g[k].offset = decode_index_slot(s, g[k].key);
    g[k].slot = slot;
  }

  // The entry that receives the new key: a new one after the run, or, in a
  // full window, the one that is dropped.
  uint32_t target = n;
  if (n > 0) {
    // An entry's age is its slot number: the entry chosen to move to the
    // end of the run (or to be dropped) is the last one in the
    // highest-numbered slot, the last one of a window that does not wrap and
    // the one in the table's last slot of one that does.
    uint32_t m = 0;
    uint64_t oldest = 0;
    for (uint32_t k = 0; k < n; k++) {
      if (g[k].slot >= oldest) {
        oldest = g[k].slot;
        m = k;
      }
    }
    // Entry m takes the last slot of the run, the entries after it step back
    // one slot; then everything advances one slot. Net: entries before m move
    // one further from home, entries after m stay, m goes just past the run
    // (onto the empty slot that ended it, or out of a full window).
    uint64_t last = g[n - 1].slot;
    for (uint32_t k = n - 1; k > m; k--) g[k].slot = g[k - 1].slot;
    g[m].slot = last;
    for (uint32_t k = 0; k < n; k++) g[k].slot = (g[k].slot + 1) & kIndexSlotMask;
    if (n == kIndexWindow) target = m;
  }
  if (target == n) n++;
  memcpy(g[target].key, key, 16);
  g[target].offset = offset;
  g[target].slot = home;

  for (uint32_t k = 0; k < n; k++) {
    encode_index_slot(index_slot(ctx->table, uint32_t(g[k].slot)), g[k].key, g[k].offset);
  }
}

}  // namespace

uint32_t index_home_slot(const uint8_t* key) { return load_le32(key) & kIndexSlotMask; }

bool ChunkIndex::lookup_or_insert(IndexContext* ctx, const uint8_t* key, uint64_t candidate) {
  const uint32_t home = index_home_slot(key);
  const uint16_t length = load_le16(key + 14);
  const uint8_t key13 = key[13];
  uint32_t k = 0;
  for (; k < kIndexWindow; k++) {
    const uint8_t* s = index_slot(ctx->table, (home + k) & kIndexSlotMask);
    if (slot_is_empty(s)) break;
    if (load_le16(s + kSlotLength) != length || s[kSlotKey13] != key13) continue;
    if (memcmp(s + kSlotKeyHead, key, kSlotKeyHeadSize) != 0) continue;
    ctx->found_offset = load_le40(s + kSlotOffsetLow);
    return true;
  }
  // An offset whose low 40 bits are 0 would read back as an empty slot and
  // cut the run short for every later lookup; such a candidate only looks up.
  const uint64_t offset = candidate & kOffsetMask;
  if (offset != 0) insert(ctx, key, offset, home, k);
  return false;
}
