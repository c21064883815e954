#include "codecs/G723Codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace ve {
namespace {

TEST(G723Codec, PutPacksLeastSignificantBitFirst) {
  G723Codec codec;
  uint8_t out[4] = {0, 0, 0, 0};
  codec.StartWriting(out, 4);
  EXPECT_TRUE(codec.Put(0x5, 3));   // 101
  EXPECT_TRUE(codec.Put(0x1F, 4));  // 1111 (the bit above the field is dropped)
  EXPECT_TRUE(codec.Put(0x2, 2));   // 10: byte 0 is 0 1111 101 and one bit is held
  EXPECT_EQ(codec.BytesWritten(), 1);
  EXPECT_EQ(out[0], 0x7D);
  EXPECT_FALSE(codec.Put(0x7F, 7));  // byte 1 is 1111111 1
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_FALSE(codec.Put(1, 25)) << "a field wider than the accumulator allows is refused";
  EXPECT_EQ(codec.BytesWritten(), 2);

  uint8_t small[2] = {0, 0};
  codec.StartWriting(small, 1);
  codec.Put(0xAB, 8);
  codec.Put(0xCD, 8);  // past the capacity of 1: not written
  EXPECT_EQ(codec.BytesWritten(), 1);
  EXPECT_EQ(small[0], 0xAB);
  EXPECT_EQ(small[1], 0);
}

TEST(G723Codec, GetReadsBackWhatPutWrote) {
  const int32_t widths[] = {6, 2, 7, 1, 8, 5, 3, 4, 4, 8};
  const uint32_t values[] = {0x2A, 0x1, 0x55, 0x0, 0xC3, 0x11, 0x6, 0xF, 0x0, 0x81};
  G723Codec codec;
  uint8_t frame[G723Codec::kFrameBytes64] = {};
  codec.StartWriting(frame, sizeof frame);
  for (size_t i = 0; i < std::size(widths); ++i) codec.Put(values[i], widths[i]);
  ASSERT_EQ(codec.BytesWritten(), 6);  // 48 bits

  codec.StartReading(frame, codec.BytesWritten());
  for (size_t i = 0; i < std::size(widths); ++i) {
    uint32_t value = 0xFFFF;
    EXPECT_GE(codec.Get(widths[i], value), 0);
    EXPECT_EQ(value, values[i]) << "field " << i;
  }
  uint32_t value = 0xFFFF;
  EXPECT_EQ(codec.Get(1, value), -1) << "reading past the end";
  EXPECT_EQ(value, 0u);
}

}  // namespace
}  // namespace ve
