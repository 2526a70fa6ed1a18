// SHA-256 (FIPS 180-4), streaming: sha256_init, any number of
// sha256_update calls with spans of any size, sha256_final. The catalogue
// keeps it of every version's list, so that a damaged list is found before
// it is used.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Size = 32;

struct Sha256 {
  uint32_t state[8];
  uint64_t length;     // bytes taken so far
  uint8_t block[64];   // a block not yet full
  size_t have;         // its bytes
};

void sha256_init(Sha256* h);
void sha256_update(Sha256* h, const uint8_t* p, size_t n);
// The digest of everything taken; h must be initialised again before reuse.
void sha256_final(Sha256* h, uint8_t out[kSha256Size]);

// Where the processor has SHA-256 instructions (x86 SHA extensions), they
// compress the blocks; the plain code does elsewhere. Returns whether they
// are used from now on: allow false turns them off (tests compare both).
bool sha256_use_hardware(bool allow);

// The digest as 64 lowercase hexadecimal digits.
void sha256_hex(const uint8_t digest[kSha256Size], char out[2 * kSha256Size + 1]);
