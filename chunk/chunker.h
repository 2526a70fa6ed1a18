// The content-defined cut.
//
// A chunk ends where a CRC-32 over the last 12 bytes falls below a threshold
// (from the 100th byte of the chunk on), or at 65535 bytes. Its digest
// (chunk_digest.h) is computed from its bytes once it has ended; the
// ChunkKey is the 14 digest bytes followed by the full chunk length (filler
// bytes included), LE16.
//
// The chunker does no I/O. A pass resets it, hands it spans of input with
// chunker_cut, and calls chunker_next_chunk whenever a chunk has ended and
// its bytes were taken.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chunk/window_crc.h"
#include "common/record.h"

constexpr uint32_t kMinChunkLength = 100;
constexpr uint32_t kMaxChunkLength = 65535;
constexpr uint32_t kBoundaryThreshold = 27356479;  // floor(2^32 / 157)
constexpr size_t kChunkKeySize = 16;
// Key bytes 0..13 are the digest that records carry; 14..15 hold the length.
constexpr size_t kChunkDigestSize = kRecDigestSize;
static_assert(kChunkDigestSize + 2 == kChunkKeySize, "digest, then LE16 length");
// The chunk buffer a caller hands to chunker_cut holds kChunkBufferSize
// bytes: the longest chunk rounded up to a multiple of 64.
static_assert(kChunkBufferSize >= padded_chunk_size(kMaxChunkLength), "chunk buffer");

struct Chunker {
  // CRC-32 of the 12 bytes that end at the last byte fed, whenever the
  // current chunk holds 100 bytes or more. No boundary is tested before the
  // 100th byte, and the window for the 100th starts at the 89th, so the
  // value is rebuilt from the 89th byte of every chunk on (starting from 12
  // virtual zero bytes) and means nothing for shorter chunks. The window
  // history is the chunk buffer itself: the bytes that leave the window
  // always lie inside the current chunk.
  uint32_t value;
  uint32_t chunk_length;  // full length of the current chunk so far
  uint8_t last_byte;      // the byte fed most recently, 0 before the first
};

// Start of a pass, or of a chunk cut on its own: clears the window;
// last_byte = 0, chunk_length = 0. Where a chunk ends and what its key is
// depend only on its own bytes, so a chunk cut after a reset equals the one
// a pass cuts from the same bytes at a chunk boundary. The tables are
// constants (chunk/window_crc.h): a reset costs nothing.
void chunker_reset(Chunker* c);

// Feeds bytes p[0..n) into the current chunk until the chunk ends or the
// span is used up. Each consumed byte is also copied to
// chunk_buf[c->chunk_length before that byte]; chunk_buf holds at least
// kChunkBufferSize bytes and, in every call after a chunk's first, that
// chunk's bytes [0, chunk_length) as the calls before left them (the window
// reads leaving bytes back from it).
// Returns the number of bytes consumed; sets *ended to true iff the chunk
// ended at the last consumed byte. Updates c->last_byte to the last consumed
// byte. Must not be called again after a chunk ended until
// chunker_next_chunk. The chunk's key comes from chunk_digest_batch over
// chunk_buf[0, chunk_length) once the chunk has ended. With a vector width
// in use every position's window is tested on its own (boundary_scan.h);
// the scalar width runs the rolling chain (chunker_cut_rolling). A pass
// keeps the width it began with.
size_t chunker_cut(Chunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf, bool* ended);

// The cut of the scalar width, with the same contract: one serial chain
// through the window value, two bytes per step.
size_t chunker_cut_rolling(Chunker* c, const uint8_t* p, size_t n, uint8_t* chunk_buf,
                           bool* ended);

// After a chunk cut with chunker_cut ended and its bytes were taken: the next
// chunk starts empty. The rolling window runs on.
inline void chunker_next_chunk(Chunker* c) { c->chunk_length = 0; }

// The filler byte that follows the last byte fed (real or filler): wraps from
// 0xFF to 0x00, and is 1 when nothing has been fed yet.
inline uint8_t chunker_filler_byte(const Chunker* c) {
  return uint8_t(c->last_byte + 1);
}
