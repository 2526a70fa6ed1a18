// The client commands the server answers: a 4-byte big-endian tag, for
// "file" followed by an 8-byte big-endian content length. Used by the
// server, chunkstop and the client tools.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint16_t kServerPort = 8888;
constexpr uint32_t kTagFile = 0x66696C65;  // "file"
constexpr uint32_t kTagQuit = 0x71756974;  // "quit"
constexpr size_t kTagSize = 4;
constexpr size_t kCommandHeaderSize = kTagSize + 8;  // tag and 64-bit BE length
