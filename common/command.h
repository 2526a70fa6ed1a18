// The client commands the server answers: a 4-byte big-endian tag, for
// "file" followed by an 8-byte big-endian content length. Used by the
// server, chunkstop and the client tools.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/bytes.h"

constexpr uint16_t kServerPort = 8888;
constexpr uint32_t kTagFile = 0x66696C65;  // "file"
constexpr uint32_t kTagQuit = 0x71756974;  // "quit"
constexpr size_t kTagSize = 4;
constexpr size_t kCommandHeaderSize = kTagSize + 8;  // tag and 64-bit BE length

// Writes a command's header to dst (room for kCommandHeaderSize bytes): the
// tag, and for "file" the content length. Returns the bytes written.
inline size_t command_header_encode(uint8_t* dst, uint32_t tag, uint64_t length) {
  store_be32(dst, tag);
  if (tag != kTagFile) return kTagSize;
  store_be64(dst + kTagSize, length);
  return kCommandHeaderSize;
}

// A reader that takes the header a byte at a time adds each to what it has
// (most significant first). A byte reader gives -1 once the input has
// ended, and it is added all the same: a header cut short ends in 0xFF
// bytes, so a tag cut short never equals a command's.
inline uint32_t command_tag_add(uint32_t tag, int byte) { return tag * 256u + uint32_t(byte); }
inline uint64_t command_length_add(uint64_t length, int byte) {
  return length * 256u + uint64_t(int64_t(byte));
}
