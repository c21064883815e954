#include "rtcp/RtpTools.h"

#include <gtest/gtest.h>

namespace ve {
namespace {

TEST(RtpTools, SequenceAndTimestampOrderHandleTheWrapWindow) {
  EXPECT_TRUE(SeqGreater(2, 65530));
  EXPECT_FALSE(SeqGreater(65530, 2));
  EXPECT_FALSE(SeqGreater(7, 7));
  // Outside the window of 20 the plain numeric order holds.
  EXPECT_FALSE(SeqGreater(30, 65530));
  EXPECT_TRUE(TimestampGreater(100, 0xFFFFFFFFu - 295u));
  EXPECT_FALSE(TimestampGreater(0xFFFFFFFFu - 295u, 100));
  EXPECT_FALSE(TimestampGreater(1000, 5000));
}

TEST(RtpTools, RandomValuesAreFifteenBitAndNonZeroWhenAsked) {
  bool varied = false;
  for (int i = 0; i < 200; ++i) {
    EXPECT_LE(Random(), 32767u);
    uint32_t nonZero = RandomNonZero();
    EXPECT_NE(nonZero, 0u);
    EXPECT_LE(nonZero, 32767u);
    varied = varied || Rand15() != Rand15();
  }
  EXPECT_TRUE(varied);
}

}  // namespace
}  // namespace ve
