#include "common/pack_format.h"

#include <gtest/gtest.h>

namespace {

TEST(PackFormat, RunHeaderIsBigEndianOffsetThenCountAndDecodesBack) {
  uint8_t h[kRunHeaderSize + 1];
  h[kRunHeaderSize] = 0xEE;  // the byte after the header stays as it was
  encode_run_header(h, 0x0102030405, 0x0607);
  for (size_t i = 0; i < kRunHeaderSize; i++) EXPECT_EQ(h[i], i + 1) << i;
  EXPECT_EQ(h[kRunHeaderSize], 0xEE);
  RunHeader r = decode_run_header(h);
  EXPECT_EQ(r.offset, 0x0102030405u);
  EXPECT_EQ(r.count, 0x0607);

  // The extremes: a literal run, the largest 40-bit offset, the largest count.
  const struct {
    uint64_t offset;
    uint16_t count;
  } cases[] = {{0, 1}, {1, 65535}, {(uint64_t(1) << 40) - 1, 65535}, {0x8000000000, 0x8000}};
  for (const auto& c : cases) {
    encode_run_header(h, c.offset, c.count);
    r = decode_run_header(h);
    EXPECT_EQ(r.offset, c.offset);
    EXPECT_EQ(r.count, c.count);
  }
}

}  // namespace
