// The client protocol: "file" + 8-byte big-endian length + content, answered
// with one ChunkRecord per chunk; "quit" stops the server; any other tag
// ends the connection.
#pragma once
#include <cstdint>

struct Connection;

constexpr uint32_t kTagFile = 0x66696C65;  // "file"
constexpr uint32_t kTagQuit = 0x71756974;  // "quit"

// The body of every client Connection's coroutine.
void client_handler(Connection* c);
