// The 21-byte ChunkRecord that the server sends per chunk and that record
// lists hold. Its ChunkOffset names a place in the store file, whose layout
// is in common/store_format.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/store_format.h"

// ChunkRecord: digest (ChunkKey bytes 0..13), real length (LE16),
// ChunkOffset bits 0..31 (LE32), ChunkOffset bits 32..39.
constexpr size_t kRecDigest = 0;
constexpr size_t kRecDigestSize = 14;
constexpr size_t kRecLength = 14;
constexpr size_t kRecOffset = 16;
constexpr size_t kChunkRecordSize = 14 + 2 + 5;
static_assert(kChunkRecordSize == 21, "wire size");

// ChunkOffsets count 64-byte units and keep 40 bits.
constexpr uint64_t kOffsetMask = (uint64_t(1) << 40) - 1;

struct ChunkRecord {
  uint8_t digest[kRecDigestSize];
  uint16_t real_length;
  uint64_t offset;  // ChunkOffset, below 2^40
};

void encode_chunk_record(uint8_t* dst, const ChunkRecord& r);
ChunkRecord decode_chunk_record(const uint8_t* src);
