// Explicit little- and big-endian loads and stores. Every on-disk and on-wire
// number goes through these; no format is read by casting a struct.
#pragma once
#include <cstdint>

inline uint16_t load_le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
         (uint32_t(p[3]) << 24);
}
inline uint64_t load_le40(const uint8_t* p) {
  return uint64_t(load_le32(p)) | (uint64_t(p[4]) << 32);
}
inline uint64_t load_le64(const uint8_t* p) {
  return uint64_t(load_le32(p)) | (uint64_t(load_le32(p + 4)) << 32);
}
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void store_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
inline void store_le40(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 5; i++) p[i] = uint8_t(v >> (8 * i));
}
inline void store_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}

inline uint16_t load_be16(const uint8_t* p) {
  return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
         (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t load_be40(const uint8_t* p) {
  return (uint64_t(p[0]) << 32) | load_be32(p + 1);
}
inline uint64_t load_be64(const uint8_t* p) {
  return (uint64_t(load_be32(p)) << 32) | load_be32(p + 4);
}
inline void store_be16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void store_be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (24 - 8 * i));
}
inline void store_be40(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 5; i++) p[i] = uint8_t(v >> (32 - 8 * i));
}
inline void store_be64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (56 - 8 * i));
}
