#include "common/record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "chunk/chunker.h"
#include "common/bytes.h"
#include "tests/fold_chunker.h"

namespace {

TEST(Bytes, FortyBitRoundTripsAtTheEdges) {
  uint8_t b[8];
  for (uint64_t v : {uint64_t(0), uint64_t(1), (uint64_t(1) << 40) - 1, uint64_t(0x12345678AB)}) {
    store_le40(b, v);
    EXPECT_EQ(load_le40(b), v);
    store_be40(b, v);
    EXPECT_EQ(load_be40(b), v);
  }
  store_be40(b, 0x0102030405);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[4], 5);
  store_le40(b, 0x0102030405);
  EXPECT_EQ(b[0], 5);
  EXPECT_EQ(b[4], 1);
}

TEST(ChunkRecord, EncodesTheEmptyFileRecordByteForByte) {
  const uint8_t want[kChunkRecordSize] = {0x6e, 0x1b, 0xd4, 0xd8, 0x1b, 0x2a, 0x29,
                                          0x8d, 0xd9, 0x5a, 0xc5, 0x31, 0x1e, 0xac,
                                          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  // The digest comes from the chunker: an empty input is one chunk of
  // filler bytes 1, 2, ... up to the first boundary.
  auto c = std::make_unique<FoldChunker>();
  auto buf = std::make_unique<uint8_t[]>(kChunkBufferSize);
  chunker_reset(c.get());
  bool ended = false;
  uint32_t filler = 0;
  while (!ended && filler < kChunkBufferSize) {
    uint8_t b = chunker_filler_byte(c.get());
    ASSERT_EQ(chunker_scan(c.get(), &b, 1, buf.get(), &ended), 1u);
    filler++;
  }
  ASSERT_TRUE(ended);
  uint8_t key[kChunkKeySize];
  chunker_finish(c.get(), key);
  EXPECT_EQ(load_le16(key + kChunkDigestSize), filler);
  ChunkRecord r;
  memcpy(r.digest, key, kRecDigestSize);
  r.real_length = 0;
  r.offset = 1;
  uint8_t got[kChunkRecordSize];
  encode_chunk_record(got, r);
  EXPECT_EQ(0, memcmp(got, want, kChunkRecordSize));
}

TEST(ChunkRecord, DecodeReadsLengthAndHighOffsetBits) {
  uint8_t raw[kChunkRecordSize] = {0};
  raw[14] = 0xFF;
  raw[15] = 0xFE;
  raw[16] = 0x01;
  raw[20] = 0xAB;
  ChunkRecord r = decode_chunk_record(raw);
  EXPECT_EQ(r.real_length, 0xFEFF);
  EXPECT_EQ(r.offset, (uint64_t(0xAB) << 32) | 1);
  uint8_t again[kChunkRecordSize];
  encode_chunk_record(again, r);
  EXPECT_EQ(0, memcmp(raw, again, kChunkRecordSize));
}

TEST(StoreLayout, PaddedSizeRoundsUpToSixtyFour) {
  EXPECT_EQ(padded_chunk_size(100), 128u);
  EXPECT_EQ(padded_chunk_size(128), 128u);
  EXPECT_EQ(padded_chunk_size(65535), 65536u);
  EXPECT_EQ(padded_chunk_size(179), 192u);
}

}  // namespace
