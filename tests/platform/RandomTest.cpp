#include "platform/Random.h"

#include <gtest/gtest.h>

#include <array>
#include <bitset>
#include <unordered_set>

namespace ve::platform {
namespace {

// Among 10 000 uniform 32-bit draws a repeat has a chance of about 1 %; more than two point
// to a narrow source (a 16-bit generator, a seed reused per call). A value with the top bit
// set catches a draw that only fills 31 bits.
TEST(Random, Random32DrawsRarelyRepeatAndReachTheTopBit) {
  constexpr int kDraws = 10000;
  std::unordered_set<uint32_t> seen;
  bool topBit = false;
  for (int i = 0; i < kDraws; ++i) {
    uint32_t value = Random32();
    seen.insert(value);
    topBit = topBit || value >= 0x80000000u;
  }
  EXPECT_GE(seen.size(), static_cast<size_t>(kDraws - 2));
  EXPECT_TRUE(topBit);
}

// An odd-sized fill must reach its last byte: each of the 7 positions, over 2 000 fills, takes
// well over 200 of the 256 values, where an unfilled one stays at its marker value.
TEST(Random, FillRandomFillsEveryByteOfAnOddSize) {
  std::array<std::bitset<256>, 7> valuesAt;
  for (int fill = 0; fill < 2000; ++fill) {
    std::array<uint8_t, 8> buffer;
    buffer.fill(0xA5);
    ASSERT_TRUE(FillRandom(buffer.data(), 7));
    EXPECT_EQ(buffer[7], 0xA5) << "wrote past the end";
    for (size_t i = 0; i < valuesAt.size(); ++i) valuesAt[i].set(buffer[i]);
  }
  for (size_t i = 0; i < valuesAt.size(); ++i) EXPECT_GT(valuesAt[i].count(), 200u) << "byte " << i;
  EXPECT_TRUE(FillRandom(nullptr, 0));
}

}  // namespace
}  // namespace ve::platform
