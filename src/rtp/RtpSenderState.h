#pragma once

#include <cstdint>
#include <mutex>

#include "rtcp/NtpTime.h"

namespace ve {

// The sender side of one RTP stream: SSRC, sequence number and timestamp of the last packet,
// and the counts the RTCP sender report carries.
//
// A new source (NewSource) draws its SSRC, first sequence number and first timestamp from the
// operating system's random source, independently and in full width; the engine asks for one
// when it is initialised, when the remote party changes and after an SSRC collision. A stop
// and start of sending within a call keeps the source: the sequence numbers go on and the
// timestamp moves on by the time that passed (Resume), as a receiver expects of one stream.
//
// Threads: Advance/AdvanceTime/Resume run on the sending thread; NewSource on the engine or
// RTCP thread; the readers anywhere. `mutex` guards every field (held briefly, never across
// another lock).
class RtpSenderState {
 public:
  static constexpr int32_t kClockRate = 8000;
  static constexpr int32_t kDefaultIncrement = 160;

  struct Snapshot {
    uint32_t ssrc = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t initialTimestamp = 0;
    uint16_t initialSequence = 0;
    uint32_t packetCount = 0;
    uint32_t octetCount = 0;
    NtpTime startTime{0, 0};
    NtpTime lastSendTime{0, 0};
  };

  RtpSenderState() { NewSource(); }
  RtpSenderState(const RtpSenderState&) = delete;
  RtpSenderState& operator=(const RtpSenderState&) = delete;

  // A new stream: new SSRC (never 0 and never `avoid`), first sequence number and timestamp;
  // the counts start at 0. Returns the new SSRC.
  uint32_t NewSource(uint32_t avoid = 0);
  // Sending starts again within the same stream.
  void Resume();
  // One packet with payloadBytes of payload that advances the timestamp by increment; the
  // state it leaves, for the packet's header.
  Snapshot Advance(int32_t payloadBytes, int32_t increment);
  // A sample that produced no packet still advances the timestamp.
  void AdvanceTime(int32_t increment);

  Snapshot Read() const;
  // The RTP timestamp that corresponds to `now` on the stream's clock (the sender report's).
  uint32_t TimestampAt(const NtpTime& now) const;

  uint32_t Ssrc() const;
  uint16_t Sequence() const { return Read().sequence; }
  uint32_t Timestamp() const { return Read().timestamp; }
  uint32_t InitialTimestamp() const { return Read().initialTimestamp; }
  uint32_t PacketCount() const { return Read().packetCount; }
  uint32_t OctetCount() const { return Read().octetCount; }
  NtpTime StartTime() const { return Read().startTime; }
  int32_t ClockRate() const { return kClockRate; }

 private:
  Snapshot SnapshotLocked() const;

  mutable std::mutex mutex;
  uint32_t ssrc = 0;
  NtpTime startTime{0, 0};
  uint32_t initialTimestamp = 0;
  uint16_t initialSequence = 0;
  uint32_t timestamp = 0;
  NtpTime lastSendTime{0, 0};
  NtpTime lastAdvance{0, 0};  // when the timestamp last moved on
  uint16_t sequence = 0;
  uint32_t packetCount = 0;
  uint32_t octetCount = 0;
};

}  // namespace ve
