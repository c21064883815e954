#include "rtp/RtpSenderState.h"

#include "rtcp/RtpTools.h"

namespace ve {

void RtpSenderState::Reset() {
  clockRate = kClockRate;
  timestampIncrement = kDefaultIncrement;
  ssrc = RandomNonZero();
  startTime = NtpTime::Now();
  initialTimestamp = Random();
  lastSendTime = startTime;
  timestamp = initialTimestamp;
  sequence = static_cast<uint16_t>(Random());
  packetCount = 0;
  octetCount = 0;
}

void RtpSenderState::Advance(int32_t payloadBytes, int32_t increment) {
  ++packetCount;
  ++sequence;
  octetCount += static_cast<uint32_t>(payloadBytes);
  timestampIncrement = increment;
  timestamp += static_cast<uint32_t>(increment);
  lastSendTime = NtpTime::Now();
}

void RtpSenderState::AdvanceTime(int32_t increment) {
  timestampIncrement = increment;
  timestamp += static_cast<uint32_t>(increment);
}

}  // namespace ve
