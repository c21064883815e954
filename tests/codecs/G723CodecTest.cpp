#include "codecs/G723Codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

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
  codec.StartReading(nullptr, 3);
  EXPECT_EQ(codec.Get(1, value), -1) << "no buffer: nothing to read, whatever the length";
}

// Until the coder exists each frame plays as 30 ms of silence: the frame kinds in the low bits
// of their first bytes say where the next frame starts, and only whole frames that fit are given.
TEST(G723Codec, EachFramePlaysAsSilenceOfItsLength) {
  G723Codec codec;
  std::vector<uint8_t> payload(G723Codec::kFrameBytes64 + G723Codec::kFrameBytes53 + 4 + 1, 0x55);
  payload[0] = 0;                                                       // 6.3 kbit/s
  payload[G723Codec::kFrameBytes64] = 1;                                // 5.3 kbit/s
  payload[G723Codec::kFrameBytes64 + G723Codec::kFrameBytes53] = 2;     // SID
  payload[payload.size() - 1] = 3;                                      // not transmitted
  std::vector<uint8_t> out(5 * G723Codec::kFrameSamples * 2, 0x77);
  for (const auto& [capacity, expected] : {std::pair{int32_t{5 * 480}, int32_t{4 * 480}}, {1000, 960}, {0, 0}}) {
    int32_t length = capacity;
    ASSERT_EQ(codec.Decode(payload.data(), static_cast<int32_t>(payload.size()), out.data(), length), 0);
    EXPECT_EQ(length, expected) << "capacity " << capacity;
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + length, [](uint8_t b) { return b == 0; }));
  }
}

}  // namespace
}  // namespace ve
