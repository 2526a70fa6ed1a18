#include "common/record.h"

#include <cstring>

#include "common/bytes.h"

void encode_chunk_record(uint8_t* dst, const ChunkRecord& r) {
  memcpy(dst + kRecDigest, r.digest, kRecDigestSize);
  store_le16(dst + kRecLength, r.real_length);
  store_le40(dst + kRecOffset, r.offset & kOffsetMask);
}

ChunkRecord decode_chunk_record(const uint8_t* src) {
  ChunkRecord r;
  memcpy(r.digest, src + kRecDigest, kRecDigestSize);
  r.real_length = load_le16(src + kRecLength);
  r.offset = load_le40(src + kRecOffset);
  return r;
}
