#pragma once

#include <cstdint>

#include "rtcp/NtpTime.h"

namespace ve {

// The sender side of one RTP stream: SSRC, sequence number and timestamp of the last packet,
// and the counts the RTCP sender report carries. Reset at every start of the send chain, so
// each call begins with a new SSRC, sequence number and timestamp.
//
// Threads: written by the sending thread (and by the start hooks, which run before it sends);
// read by the RTCP transmitter on the same sending thread.
class RtpSenderState {
 public:
  static constexpr int32_t kClockRate = 8000;
  static constexpr int32_t kDefaultIncrement = 160;

  RtpSenderState() { Reset(); }

  void Reset();
  // One packet with payloadBytes of payload that advances the timestamp by increment.
  void Advance(int32_t payloadBytes, int32_t increment);
  // A sample that produced no packet still advances the timestamp.
  void AdvanceTime(int32_t increment);

  uint32_t Ssrc() const { return ssrc; }
  uint16_t Sequence() const { return sequence; }
  uint32_t Timestamp() const { return timestamp; }
  const NtpTime& StartTime() const { return startTime; }
  uint32_t InitialTimestamp() const { return initialTimestamp; }
  const NtpTime& LastSendTime() const { return lastSendTime; }
  uint32_t PacketCount() const { return packetCount; }
  uint32_t OctetCount() const { return octetCount; }
  int32_t ClockRate() const { return clockRate; }
  int32_t TimestampIncrement() const { return timestampIncrement; }

 private:
  uint32_t ssrc = 0;
  NtpTime startTime;
  uint32_t initialTimestamp = 0;
  uint32_t timestamp = 0;
  NtpTime lastSendTime;
  uint16_t sequence = 0;
  uint32_t packetCount = 0;
  uint32_t octetCount = 0;
  int32_t clockRate = kClockRate;
  int32_t timestampIncrement = kDefaultIncrement;
};

}  // namespace ve
