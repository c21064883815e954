#include "rtcp/RtpTools.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Clock.h"

namespace ve {
namespace {

TEST(RtpTools, SeqGreaterHandlesTheWrapWindow) {
  EXPECT_TRUE(SeqGreater(2, 65530));
  EXPECT_FALSE(SeqGreater(65530, 2));
  EXPECT_TRUE(SeqGreater(100, 90));
  EXPECT_FALSE(SeqGreater(90, 100));
  EXPECT_FALSE(SeqGreater(7, 7));
  // Outside the window of 20 the plain numeric order holds.
  EXPECT_FALSE(SeqGreater(30, 65530));
  EXPECT_TRUE(SeqGreater(65530, 30));
}

TEST(RtpTools, TimestampGreaterHandlesTheWrapWindow) {
  EXPECT_TRUE(TimestampGreater(100, 0xFFFFFFFFu - 295u));
  EXPECT_FALSE(TimestampGreater(0xFFFFFFFFu - 295u, 100));
  EXPECT_TRUE(TimestampGreater(5000, 1000));
  EXPECT_FALSE(TimestampGreater(1000, 5000));
}

TEST(RtpTools, RandomValuesAreFifteenBitAndNonZeroWhenAsked) {
  for (int i = 0; i < 200; ++i) {
    uint32_t value = Random();
    EXPECT_LE(value, 32767u);
    uint32_t nonZero = RandomNonZero();
    EXPECT_NE(nonZero, 0u);
    EXPECT_LE(nonZero, 32767u);
  }
  SeedRand15(12345);
  int32_t first = Rand15();
  bool varied = false;
  for (int i = 0; i < 20; ++i) varied = varied || Rand15() != first;
  EXPECT_TRUE(varied);
}

TEST(RtpTools, DumpWritesBitsAndHex) {
  const uint8_t word[4] = {0x80, 0xC8, 0x00, 0x06};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  DumpWord(word);
  std::string bits = testing::internal::GetCapturedStderr();
  std::string hex = testing::internal::GetCapturedStdout();
  EXPECT_EQ(bits, "10000000 11001000 00000000 00000110 ");
  EXPECT_EQ(hex, "  80C80006\n");
}

}  // namespace
}  // namespace ve
