#include "rtcp/RtcpPacket.h"

#include <gtest/gtest.h>

namespace ve {
namespace {

TEST(RtcpPacket, AllocationIsBoundedByTheBuffer) {
  RtcpPacket packet;
  EXPECT_EQ(packet.GetTotalUsage(), 0);
  EXPECT_EQ(packet.GetFreeSize(), 2048);
  EXPECT_EQ(packet.AllocData(2049), -1);
  EXPECT_EQ(packet.GetTotalUsage(), 0);
  EXPECT_EQ(packet.AllocData(-1), -1);
  EXPECT_EQ(packet.AllocData(2048), 2048);
  EXPECT_EQ(packet.GetTotalUsage(), 2048);
  EXPECT_EQ(packet.AllocData(1), -1);
}

TEST(RtcpPacket, ReservingLeavesWrittenBytesAlone) {
  RtcpPacket packet;
  uint8_t* at = packet.GetFreePtr();
  at[0] = 0x81;
  at[1] = 200;
  at[3] = 6;
  ASSERT_EQ(packet.AllocData(28), 28);
  EXPECT_EQ(packet.GetFreePtr(), at + 28);
  EXPECT_EQ(packet.GetVersion(), 2);
  EXPECT_FALSE(packet.GetPadding());
  EXPECT_EQ(packet.GetCount(), 1);
  EXPECT_EQ(packet.GetPacketType(), 200);
  EXPECT_EQ(packet.GetLength(), 6);
  EXPECT_EQ(at[27], 0);  // zero-filled at creation
}

TEST(RtcpPacket, SetTotalUsageClampsToTheBuffer) {
  RtcpPacket packet;
  packet.SetTotalUsage(100);
  EXPECT_EQ(packet.GetTotalUsage(), 100);
  packet.SetTotalUsage(5000);
  EXPECT_EQ(packet.GetTotalUsage(), 2048);
  packet.SetTotalUsage(-3);
  EXPECT_EQ(packet.GetTotalUsage(), 0);
}

}  // namespace
}  // namespace ve
