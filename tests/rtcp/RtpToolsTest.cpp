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

}  // namespace
}  // namespace ve
