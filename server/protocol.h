// The client protocol: "file" + 8-byte big-endian length + content, answered
// with one ChunkRecord per chunk; "quit" stops the server; any other tag
// ends the connection.
#pragma once
#include <cstdint>

#include "common/command.h"

struct Connection;

// The body of every client Connection's coroutine.
void client_handler(Connection* c);
