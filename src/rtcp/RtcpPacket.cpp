#include "rtcp/RtcpPacket.h"

#include <cstdio>

#include "rtcp/RtpTools.h"

namespace ve {

static_assert(RtcpPacket::kAlloc < RTP_MTU, "an RTCP packet fits one datagram");

RtcpPacket::RtcpPacket() : packetData(new uint8_t[kAlloc]()) {}

int32_t RtcpPacket::AllocData(int32_t n) {
  if (n < 0 || freeSize < n) return -1;
  freeSize -= n;
  return n;
}

void RtcpPacket::SetTotalUsage(int32_t size) {
  if (size < 0) size = 0;
  if (size > packetAlloc) size = packetAlloc;
  freeSize = packetAlloc - size;
}

void RtcpPacket::PrintPacket() const {
  DumpBytes(packetData.get(), GetTotalUsage());
  std::fputs("\n-----------------------------------\n", stderr);
}

}  // namespace ve
