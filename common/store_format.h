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

// A stored chunk of `full` bytes is followed by this many copies of its
// last byte.
constexpr uint64_t chunk_padding_size(uint64_t full) { return padded_chunk_size(full) - full; }
inline uint8_t chunk_padding_byte(const uint8_t* bytes, uint32_t full) { return bytes[full - 1]; }

// Header bytes a store of `size` bytes still lacks: a new store begins with
// its header, and one cut short is finished with the same byte.
constexpr uint64_t store_header_missing(uint64_t size) {
  return size < kStoreHeaderSize ? kStoreHeaderSize - size : 0;
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

// How a store ends, as the rebuild found it: where the first new chunk must
// go (0 when the store ends cleanly), and the byte that fills it up to there.
// A store that ends inside a chunk's padding also tells where that padding
// begins (0 otherwise): it is written again from there, so that stray bytes
// a failed append left in it become copies of the last byte too.
struct StoreTail {
  uint64_t resync_at;
  uint8_t fill;
  uint64_t padding_from = 0;
};
