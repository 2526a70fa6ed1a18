// The store file's checks that every reader shares, and the command header
// that the server, chunkstop and chunksend share.
#include "common/store_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/command.h"

namespace {

TEST(StoreFormat, HeaderIsExactlySixtyFourBytesOfCC) {
  uint8_t h[kStoreHeaderSize + 1];
  memset(h, kStoreHeaderByte, sizeof h);
  EXPECT_TRUE(store_header_ok(h, kStoreHeaderSize));
  EXPECT_FALSE(store_header_ok(h, kStoreHeaderSize - 1));  // a store cut inside its header
  EXPECT_FALSE(store_header_ok(h, 0));
  for (size_t at : {size_t(0), size_t(31), size_t(63)}) {
    h[at] = 0xCD;
    EXPECT_FALSE(store_header_ok(h, kStoreHeaderSize)) << at;
    h[at] = kStoreHeaderByte;
  }
}

TEST(StoreFormat, ChunkInStoreAtItsEdges) {
  const uint64_t size = 64 * 10 + 5;  // chunks at offsets 1..10, the last 5 bytes long
  EXPECT_FALSE(chunk_in_store(0, 0, size));  // the header
  EXPECT_TRUE(chunk_in_store(1, 0, size));
  EXPECT_TRUE(chunk_in_store(9, 64, size));
  EXPECT_TRUE(chunk_in_store(10, 5, size));
  EXPECT_FALSE(chunk_in_store(10, 6, size));
  EXPECT_FALSE(chunk_in_store(11, 0, size));
  EXPECT_FALSE(chunk_in_store(1, 0, 64));  // a store of its header only
  // The highest 40-bit offset, just below the largest store it can name.
  EXPECT_TRUE(chunk_in_store((uint64_t(1) << 40) - 1, 64, uint64_t(1) << 46));
  EXPECT_FALSE(chunk_in_store((uint64_t(1) << 40) - 1, 65535, uint64_t(1) << 46));
}

TEST(StoreFormat, NextOffsetFollowsThePaddingRule) {
  EXPECT_EQ(chunk_offset_after(1, 0), 1u);  // a record of real length 0 takes no room here
  EXPECT_EQ(chunk_offset_after(1, 1), 2u);
  EXPECT_EQ(chunk_offset_after(1, 64), 2u);
  EXPECT_EQ(chunk_offset_after(1, 65), 3u);
  EXPECT_EQ(chunk_offset_after(7, 65535), 7u + 1024);
}

TEST(CommandHeader, EncodesFileWithItsLengthAndOtherTagsAlone) {
  uint8_t b[kCommandHeaderSize];
  ASSERT_EQ(command_header_encode(b, kTagFile, 3), kCommandHeaderSize);
  const uint8_t want[] = {0x66, 0x69, 0x6C, 0x65, 0, 0, 0, 0, 0, 0, 0, 3};
  EXPECT_EQ(memcmp(b, want, sizeof want), 0);
  ASSERT_EQ(command_header_encode(b, kTagQuit, 99), kTagSize);
  EXPECT_EQ(memcmp(b, "quit", 4), 0);
}

TEST(CommandHeader, AByteAtATimeDecodeReadsBackAndACutTagNeverMatches) {
  uint8_t b[kCommandHeaderSize];
  const uint64_t length = 0x0102030405060708ull;
  command_header_encode(b, kTagFile, length);
  uint32_t tag = 0;
  uint64_t got = 0;
  for (size_t i = 0; i < kTagSize; i++) tag = command_tag_add(tag, b[i]);
  for (size_t i = kTagSize; i < kCommandHeaderSize; i++) got = command_length_add(got, b[i]);
  EXPECT_EQ(tag, kTagFile);
  EXPECT_EQ(got, length);
  // The input ends after 0 to 3 bytes of a tag: the rest read as -1.
  for (uint32_t want : {kTagFile, kTagQuit}) {
    uint8_t t[kCommandHeaderSize];
    command_header_encode(t, want, 0);
    for (size_t have = 0; have < kTagSize; have++) {
      uint32_t v = 0;
      for (size_t i = 0; i < kTagSize; i++) v = command_tag_add(v, i < have ? t[i] : -1);
      EXPECT_NE(v, kTagFile) << have;
      EXPECT_NE(v, kTagQuit) << have;
    }
  }
}

}  // namespace
