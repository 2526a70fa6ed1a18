// The server's one option that takes a value: --listen ADDRESS, the IPv4
// address (four decimal numbers, as 127.0.0.1) of the one local address to
// listen on. Without it the server listens on every address.
#pragma once
#include <cstdint>

enum class ListenOption { kAll, kOne, kMissing, kBad };

struct ListenChoice {
  ListenOption option;
  uint32_t ip;        // host order; 0 (every address) unless kOne
  const char* given;  // the text given after --listen (kBad), else null
};

// Reads "a.b.c.d" (each 0 to 255, one to three digits) into *ip.
bool parse_ipv4(const char* text, uint32_t* ip);

// Finds --listen among the arguments (the last one counts); other arguments
// are left alone.
ListenChoice listen_choice(int argc, char** argv);
