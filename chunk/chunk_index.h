// ChunkIndex: the in-memory map from ChunkKey to ChunkOffset.
//
// A fixed table of 2^25 slots of 21 bytes, open addressing without chaining,
// resizing or deletion. Every key lives in the probe window of 16 slots that
// starts at its home slot (key bytes 0..3 LE, low 25 bits), wrapping from the
// last slot to slot 0. A new key always goes to its home slot and pushes the
// window's other entries along; when all 16 slots are taken, one entry is
// dropped. The index is lossy by design: a dropped chunk is stored again.
//
// IndexSlot, 21 bytes:
//   0..3   ChunkOffset bits 0..31, LE     (offset 0: the slot is empty)
//   4      ChunkOffset bits 32..39
//   5      key byte 13
//   6..7   key bytes 14..15 (the chunk length, as the key holds it)
//   8..20  key bytes 0..12
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.h"
#include "common/prefetch.h"

constexpr uint32_t kIndexSlots = 1u << 25;
constexpr uint32_t kIndexSlotMask = kIndexSlots - 1;
constexpr size_t kIndexSlotSize = 21;
constexpr size_t kIndexTableBytes = size_t(kIndexSlots) * kIndexSlotSize;
static_assert(kIndexTableBytes == 0x2A000000, "table size");
constexpr uint32_t kIndexWindow = 16;

constexpr size_t kSlotOffsetLow = 0;  // 4 bytes
constexpr size_t kSlotOffsetHigh = 4;
constexpr size_t kSlotKey13 = 5;
constexpr size_t kSlotLength = 6;  // key bytes 14..15
constexpr size_t kSlotKeyHead = 8;  // key bytes 0..12
constexpr size_t kSlotKeyHeadSize = 13;

// Writes a 16-byte key and its 40-bit ChunkOffset into slot s.
inline void encode_index_slot(uint8_t* s, const uint8_t* key, uint64_t offset) {
  store_le40(s + kSlotOffsetLow, offset);
  s[kSlotKey13] = key[13];
  s[kSlotLength] = key[14];
  s[kSlotLength + 1] = key[15];
  memcpy(s + kSlotKeyHead, key, kSlotKeyHeadSize);
}

// Reads slot s back: its key into key (16 bytes), its ChunkOffset returned.
inline uint64_t decode_index_slot(const uint8_t* s, uint8_t* key) {
  memcpy(key, s + kSlotKeyHead, kSlotKeyHeadSize);
  key[13] = s[kSlotKey13];
  key[14] = s[kSlotLength];
  key[15] = s[kSlotLength + 1];
  return load_le40(s + kSlotOffsetLow);
}

// One occupied slot unpacked while an insertion rearranges its window.
struct GatherEntry {
  uint8_t key[16];
  uint64_t offset;  // 40-bit ChunkOffset
  uint64_t slot;    // slot the entry is to be written to, below 2^25
};

// One per caller; all contexts share the one table.
struct IndexContext {
  uint8_t* table;  // kIndexTableBytes, zero-filled at start
  uint64_t found_offset;  // set by a successful lookup
  GatherEntry gather[kIndexWindow];  // scratch of an insertion
};

inline uint8_t* index_slot(uint8_t* table, uint32_t n) {
  return table + size_t(n) * kIndexSlotSize;
}

// Home slot of a 16-byte key.
uint32_t index_home_slot(const uint8_t* key);

// Starts fetching the first slots of key's probe window, so that the
// lookups of a batch of keys overlap their cache misses.
inline void index_prefetch(const uint8_t* table, const uint8_t* key) {
  const uint8_t* s = table + size_t(index_home_slot(key)) * kIndexSlotSize;
  prefetch_line(s);
  prefetch_line(s + 63);
}

namespace ChunkIndex {
// Looks key up in its probe window. Found: sets ctx->found_offset to the
// stored ChunkOffset, leaves the table as it is and returns true (the
// candidate is ignored). Not found: returns false, and when candidate's low
// 40 bits are not 0 first enters the key with that offset. A candidate of 0
// only looks up. Offsets keep their low 40 bits.
bool lookup_or_insert(IndexContext* ctx, const uint8_t* key, uint64_t candidate);
}  // namespace ChunkIndex
