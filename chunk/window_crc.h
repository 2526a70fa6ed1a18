// The window value that cuts chunks: the reflected CRC-32 (the one of zlib
// and PNG) of the last 12 bytes. Its one table is built at compile time.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint32_t kCrcPolynomial = 0xEDB88320;  // reflected CRC-32

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t v = i;
    for (int k = 0; k < 8; k++) v = (v & 1) ? (v >> 1) ^ kCrcPolynomial : v >> 1;
    t[i] = v;
  }
  return t;
}

// kCrcTable[b]: the CRC-32 step of byte b, without the start and end inversions.
inline constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

// The CRC-32 of p[0..n).
constexpr uint32_t crc32_of(const uint8_t* p, size_t n) {
  uint32_t r = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) r = (r >> 8) ^ kCrcTable[(r ^ p[i]) & 0xFF];
  return r ^ 0xFFFFFFFFu;
}

constexpr uint32_t kWindowLength = 12;
// CRC-32 of 12 zero bytes: the window value before anything has been pushed.
constexpr uint32_t kWindowStartValue = 0x7BD5C66F;
static_assert(crc32_of(std::array<uint8_t, kWindowLength>{}.data(), kWindowLength) ==
                  kWindowStartValue,
              "the start value is the CRC of an all-zero window");

// The rolling form of the window value, whole at compile time, so that no
// pass builds a table. kWindowForward[j] is kCrcTable[j ^ 0xFF] ^ 0xFF000000,
// the form in which one step keeps the value equal to the finished CRC-32
// of the window; kWindowRemoval[b] cancels byte b as it leaves the window;
// kCrcTable2[a] is kCrcTable[a] advanced by one more zero byte, for two
// bytes per step.
constexpr std::array<uint32_t, 256> make_window_forward() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; i++) t[i ^ 0xFF] = kCrcTable[i] ^ 0xFF000000;
  return t;
}
inline constexpr std::array<uint32_t, 256> kWindowForward = make_window_forward();

constexpr uint32_t window_push_zeros(uint32_t v) {
  for (uint32_t k = 0; k < kWindowLength; k++) v = (v >> 8) ^ kWindowForward[v & 0xFF];
  return v;
}
static_assert(window_push_zeros(0) == kWindowStartValue, "the rolling form starts there too");

constexpr std::array<uint32_t, 256> make_window_removal() {
  std::array<uint32_t, 256> t{};
  for (uint32_t b = 0; b < 256; b++) t[b] = window_push_zeros(kWindowForward[b]) ^ kWindowStartValue;
  return t;
}
inline constexpr std::array<uint32_t, 256> kWindowRemoval = make_window_removal();

constexpr std::array<uint32_t, 256> make_crc_table2() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; i++) t[i] = (kCrcTable[i] >> 8) ^ kCrcTable[kCrcTable[i] & 0xFF];
  return t;
}
inline constexpr std::array<uint32_t, 256> kCrcTable2 = make_crc_table2();
