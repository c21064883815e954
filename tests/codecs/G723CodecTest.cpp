#include "codecs/G723Codec.h"

#include <gtest/gtest.h>

namespace ve {
namespace {

// Fields are packed least significant bit first, bits above a field's width are dropped,
// nothing is written past the capacity, and reading gives back what was written.
TEST(G723Codec, BitFieldsPackLeastSignificantBitFirstAndReadBack) {
  G723Codec codec;
  uint8_t out[4] = {0, 0, 0, 0};
  codec.StartWriting(out, 3);
  EXPECT_TRUE(codec.Put(0x5, 3));   // 101
  EXPECT_TRUE(codec.Put(0x1F, 4));  // 1111 (the bit above the field is dropped)
  EXPECT_TRUE(codec.Put(0x2, 2));   // 10: byte 0 is 0 1111 101 and one bit is held
  EXPECT_EQ(out[0], 0x7D);
  EXPECT_FALSE(codec.Put(0x7F, 7));  // byte 1 is 1111111 1
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_FALSE(codec.Put(1, 25)) << "a field wider than the accumulator allows is refused";
  codec.Put(0xAB, 8);
  codec.Put(0xCD, 8);  // past the capacity of 3: not written
  EXPECT_EQ(codec.BytesWritten(), 3);
  EXPECT_EQ(out[2], 0xAB);
  EXPECT_EQ(out[3], 0);

  codec.StartReading(out, 3);
  const int32_t widths[] = {3, 4, 2, 7, 8};
  const uint32_t values[] = {0x5, 0xF, 0x2, 0x7F, 0xAB};
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
