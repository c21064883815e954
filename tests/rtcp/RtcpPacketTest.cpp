#include "rtcp/RtcpPacket.h"

#include <gtest/gtest.h>

#include <utility>

namespace ve {
namespace {

TEST(RtcpPacket, AllocationAndUsageAreBoundedByTheBuffer) {
  RtcpPacket packet;
  EXPECT_EQ(packet.GetFreeSize(), 2048);
  EXPECT_EQ(packet.AllocData(2049), -1);
  EXPECT_EQ(packet.AllocData(-1), -1);
  EXPECT_EQ(packet.GetTotalUsage(), 0);
  EXPECT_EQ(packet.AllocData(2048), 2048);
  EXPECT_EQ(packet.AllocData(1), -1);
  const std::pair<int32_t, int32_t> clamps[] = {{100, 100}, {5000, 2048}, {-3, 0}};
  for (auto [set, got] : clamps) {
    packet.SetTotalUsage(set);
    EXPECT_EQ(packet.GetTotalUsage(), got) << set;
  }
}

TEST(RtcpPacket, ReservingLeavesWrittenBytesAlone) {
  RtcpPacket packet;
  uint8_t* at = packet.GetFreePtr();
  at[0] = 0x81;
  at[1] = 200;
  ASSERT_EQ(packet.AllocData(28), 28);
  EXPECT_EQ(packet.GetFreePtr(), at + 28);
  EXPECT_EQ(packet.GetCount(), 1);
  EXPECT_EQ(packet.GetPacketType(), 200);
  EXPECT_EQ(at[27], 0);  // zero-filled at creation
}

}  // namespace
}  // namespace ve
