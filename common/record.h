// The 21-byte ChunkRecord that the server sends per chunk and that record
// lists hold, and the layout of the store file "$dump".
#pragma once
#include <cstddef>
#include <cstdint>

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

// Store file: a 64-byte header of 0xCC, then chunks, each padded to a
// multiple of 64 with copies of its last byte. A chunk at file position p
// has ChunkOffset p / 64, so offset 0 (the header) never names a chunk.
constexpr const char* kStoreFileName = "$dump";
constexpr uint64_t kStoreHeaderSize = 64;
constexpr uint8_t kStoreHeaderByte = 0xCC;
constexpr uint64_t kChunkAlign = 64;
constexpr unsigned kChunkAlignShift = 6;
// Chunks that start at or beyond 2^46 bytes cannot be named by 40 bits.
constexpr uint64_t kStoreOffsetLimit = uint64_t(1) << 46;

constexpr uint64_t padded_chunk_size(uint64_t full_length) {
  return (full_length + kChunkAlign - 1) & ~(kChunkAlign - 1);
}

// A chunk's length is a 16-bit field, so a chunk holds at most 65535 bytes;
// a buffer of this size holds any chunk with its padding.
constexpr size_t kChunkBufferSize = 65536;
static_assert(kChunkBufferSize == padded_chunk_size(0xFFFF), "a padded chunk fills the buffer");
