#pragma once

#include <cstdint>

#include "platform/CriticalSection.h"
#include "rtcp/NtpTime.h"

namespace ve {

class RtcpReceiver;
class RtpPacket;

// What the RTCP report block needs of one RtpReceiver, read in one piece.
struct RtpReceiverStats {
  uint32_t ssrc = 0;
  int32_t probation = -2;
  uint16_t baseSeq = 0;
  uint16_t maxSeq = 0;
  uint32_t cycles = 0;
  uint32_t packetsReceived = 0;
  int32_t jitter = 0;
};

// The reception record of one call: follows one remote SSRC, counts its packets and bytes,
// estimates the interarrival jitter (in ms, scaled by 16) and keeps the sequence numbers the
// RTCP report blocks are made from. Its verdicts never keep a packet from playout.
//
// `cycles` counts wraps of maxSeq in units of 65536, so cycles + maxSeq is the extended
// highest sequence number. Timestamps are converted to time with the 8 kHz RTP clock.
//
// Threads: Receive runs on the receive thread; Stats and the accessors on any thread (the
// RTCP transmitter reads them on the sending thread); SetRtcpReceiver on the thread that sets
// up a call. `statsLock` guards every counter and is never held while another lock is taken.
// `linkLock` guards rtcpReceiver and is held while the RtcpReceiver is told about sources, so
// that an RtcpReceiver being replaced is no longer used once SetRtcpReceiver returns.
class RtpReceiver {
 public:
  static constexpr int32_t kRtpClockPerMs = 8;
  static constexpr int32_t kMaxPayload = 1012;

  RtpReceiver(int32_t unused = 0, int32_t initialPlayDelayMs = 0);
  // Unlinks this receiver from its RtcpReceiver's records; frees nothing else.
  ~RtpReceiver();
  RtpReceiver(const RtpReceiver&) = delete;
  RtpReceiver& operator=(const RtpReceiver&) = delete;

  void SetRate(int32_t increment, int32_t bitsPerSecond);
  void SetSamplesPerPacket(int32_t n);
  // Links the RtcpReceiver (or none); a followed source is registered with the new one.
  void SetRtcpReceiver(RtcpReceiver* receiver);

  // The per-packet update: returns p when the packet was counted, null when not.
  RtpPacket* Receive(RtpPacket* p);

  RtpReceiverStats Stats();
  uint32_t Ssrc();
  int32_t Probation();
  uint16_t BaseSeq();
  uint16_t MaxSeq();
  uint32_t Cycles();
  uint32_t PacketsReceived();
  uint32_t BytesReceived();
  int32_t Jitter();
  bool SourceSet();
  int32_t TsIncrement();

 private:
  // Source registrations the RtcpReceiver must hear about, collected under statsLock and
  // carried out after it is released.
  struct LinkChanges {
    bool drop = false;
    uint32_t dropSsrc = 0;
    bool add = false;
    uint32_t addSsrc = 0;
  };

  RtpPacket* Update(RtpPacket* p, const NtpTime& now, LinkChanges* changes);
  bool SwitchOver(RtpPacket* p, const NtpTime& now, LinkChanges* changes);
  NtpTime RtpTime(uint32_t timestamp) const;
  // Moves maxSeq, counting a forward step across the wrap into cycles (and undoing the count
  // when maxSeq steps back across it).
  void SetMaxSeq(uint16_t value);

  bool sourceSet = false;
  uint32_t ssrc = 0;
  bool droppedSet = false;
  uint32_t droppedSsrc = 0;
  int32_t probation = -2;
  uint16_t baseSeq = 0;
  NtpTime baseTime;
  uint32_t baseTimestamp = 0;
  NtpTime playTime;
  uint32_t packetsReceived = 0;
  uint32_t bytesReceived = 0;
  uint32_t expectedTimestamp = 0;
  uint32_t lastTimestamp = 0;
  NtpTime lastArrival;
  uint16_t maxSeq = 0;
  uint16_t prevSeqPlay = 0;
  uint32_t cycles = 0;
  uint32_t playCycles = 0;
  int32_t lastTransit = 0;
  int32_t jitter = 0;
  int32_t playDelay = 0;
  RtcpReceiver* rtcpReceiver = nullptr;
  int32_t samplesPerPacket = 160;
  int32_t tsIncrement = 20;
  int32_t rateSet = 1;
  int32_t timeDivisor = 20;
  int32_t bitRate = 20;
  int32_t frameBytes = 20;
  int32_t initialPlayDelay = 0;

  platform::CriticalSection statsLock;
  platform::CriticalSection linkLock;
};

}  // namespace ve
