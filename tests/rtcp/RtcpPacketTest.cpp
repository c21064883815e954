#include "rtcp/RtcpPacket.h"

#include <gtest/gtest.h>

namespace ve {
namespace {

TEST(RtcpPacket, AllocationIsBoundedByTheBufferAndLeavesWrittenBytesAlone) {
  RtcpPacket packet;
  uint8_t* at = packet.GetFreePtr();
  at[0] = 0x81;
  at[1] = 200;
  EXPECT_EQ(packet.AllocData(2049), -1);
  EXPECT_EQ(packet.AllocData(-1), -1);
  ASSERT_EQ(packet.AllocData(28), 28);
  EXPECT_EQ(packet.GetFreePtr(), at + 28);
  EXPECT_EQ(packet.GetCount(), 1);
  EXPECT_EQ(packet.GetPacketType(), 200);
  EXPECT_EQ(at[27], 0);  // zero-filled at creation
  EXPECT_EQ(packet.AllocData(2048 - 28), 2048 - 28);
  EXPECT_EQ(packet.AllocData(1), -1);
  packet.SetTotalUsage(5000);
  EXPECT_EQ(packet.GetTotalUsage(), 2048);
  packet.SetTotalUsage(-3);
  EXPECT_EQ(packet.GetTotalUsage(), 0);
}

}  // namespace
}  // namespace ve
