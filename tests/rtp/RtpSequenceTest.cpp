#include "rtp/RtpSequence.h"

#include <gtest/gtest.h>

namespace ve {
namespace {

// Order is the shorter way round the circle, whatever the distance to the wrap.
TEST(RtpSequence, OrderGoesTheShorterWayRound) {
  EXPECT_TRUE(SeqNewer(2, 65530));
  EXPECT_FALSE(SeqNewer(65530, 2));
  EXPECT_FALSE(SeqNewer(7, 7));
  EXPECT_TRUE(SeqNewer(30000, 65530)) << "half the circle back is still before";
  EXPECT_FALSE(SeqNewer(40000, 5000));
  EXPECT_EQ(SeqDelta(3, 65533), 6);
  EXPECT_EQ(SeqDelta(65533, 3), -6);
  EXPECT_TRUE(TimestampNewer(100, 0xFFFFFFFFu - 295u));
  EXPECT_FALSE(TimestampNewer(0xFFFFFFFFu - 295u, 100));
  EXPECT_FALSE(TimestampNewer(1000, 5000));
  EXPECT_EQ(TimestampDelta(160, 0xFFFFFF60u), 320);
}

}  // namespace
}  // namespace ve
