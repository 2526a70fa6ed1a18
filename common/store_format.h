// The store file "$dump": a 64-byte header of 0xCC, then chunks, each
// padded to a multiple of 64 with copies of its last byte. A chunk at file
// position p has ChunkOffset p / 64, so offset 0 (the header) never names a
// chunk. The server writes it; every tool that reads it checks it here.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr const char* kStoreFileName = "$dump";
constexpr uint64_t kStoreHeaderSize = 64;
constexpr uint8_t kStoreHeaderByte = 0xCC;
constexpr uint64_t kChunkAlign = 64;
constexpr unsigned kChunkAlignShift = 6;
// Chunks that start at or beyond 2^46 bytes cannot be named by 40 bits.
constexpr uint64_t kStoreOffsetLimit = uint64_t(1) << 46;

// The padding rule: a chunk of full_length bytes takes this many bytes of
// the store.
constexpr uint64_t padded_chunk_size(uint64_t full_length) {
  return (full_length + kChunkAlign - 1) & ~(kChunkAlign - 1);
}

// A chunk's length is a 16-bit field, so a chunk holds at most 65535 bytes;
// a buffer of this size holds any chunk with its padding.
constexpr size_t kChunkBufferSize = 65536;
static_assert(kChunkBufferSize == padded_chunk_size(0xFFFF), "a padded chunk fills the buffer");

// Whether the n bytes read from the start of a store file are its header.
inline bool store_header_ok(const uint8_t* p, uint64_t n) {
  if (n != kStoreHeaderSize) return false;
  for (size_t i = 0; i < kStoreHeaderSize; i++) {
    if (p[i] != kStoreHeaderByte) return false;
  }
  return true;
}

// Whether the real_length bytes a record names at ChunkOffset offset lie
// inside a store file of store_size bytes (offset 0 is the header: never).
constexpr bool chunk_in_store(uint64_t offset, uint64_t real_length, uint64_t store_size) {
  const uint64_t pos = offset << kChunkAlignShift;
  return offset != 0 && pos < store_size && real_length <= store_size - pos;
}

// The ChunkOffset just after a chunk of `length` bytes stored at `offset`,
// its padding included: where the next chunk appended after it begins.
constexpr uint64_t chunk_offset_after(uint64_t offset, uint64_t length) {
  return offset + (padded_chunk_size(length) >> kChunkAlignShift);
}
