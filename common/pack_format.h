// The pack stream that chunkpack writes and chunkunpack reads.
//
// Runs back to back, no header or trailer. Each run is a 40-bit big-endian
// run offset and a 16-bit big-endian run count (1..65535). A reference run
// (offset != 0) stands for `count` chunks lying back to back in the store
// from that ChunkOffset; a literal run (offset 0) is followed by each
// chunk's real-length bytes, copied out of the store file.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/bytes.h"

constexpr size_t kRunHeaderSize = 7;

struct RunHeader {
  uint64_t offset;  // ChunkOffset of the run's first chunk; 0: a literal run
  uint16_t count;   // records in the run
};

// Writes the kRunHeaderSize-byte header of a run into h.
inline void encode_run_header(uint8_t* h, uint64_t run_offset, uint16_t count) {
  store_be40(h, run_offset);
  store_be16(h + 5, count);
}

// Reads the kRunHeaderSize-byte run header at h.
inline RunHeader decode_run_header(const uint8_t* h) {
  return RunHeader{load_be40(h), load_be16(h + 5)};
}
