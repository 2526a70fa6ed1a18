// The chunk digest computed from a finished chunk's bytes, for many chunks at
// once.
//
// The digest of a chunk of length L is what the fold block holds after its
// bytes have been folded in and compressed: runs of 63 bytes are XORed into
// block bytes 0..62, byte 63 set to the run's length, and the block
// compressed in place after every run (the last run may be shorter, or empty
// when L is 0). The key is block bytes 0..13 followed by L, LE16: exactly the
// key that the byte-at-a-time definition gives for the same bytes.
//
// The compressions of one chunk depend on each other; different chunks do
// not, so the vector paths run one chunk per lane (8 with AVX2; with
// AVX-512 two groups of 16, their compressions interleaved so that one
// group's steps run while the other's wait on their chains) and refill a
// lane with the next chunk as soon as its chunk is done. The width comes
// from simd_width().
#pragma once
#include <cstddef>
#include <cstdint>

struct ChunkSpan {
  const uint8_t* bytes;  // L readable bytes; nothing beyond them is read
  uint32_t length;       // L, at most 65535
};

// keys receives 16 bytes per chunk, in the order of chunks.
void chunk_digest_batch(const ChunkSpan* chunks, size_t n, uint8_t* keys);

// One chunk, without vectors.
void chunk_digest_one(const uint8_t* p, uint32_t length, uint8_t* key);

// Compresses a fold block in place: MD5 compression from the MD5 initial
// values over the whole block, its four result words XORed into bytes 0..15,
// fold count (byte 63) set to 0. Bytes 16..62 keep their folded values.
void fold_compress(uint8_t block[64]);
