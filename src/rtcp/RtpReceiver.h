#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

namespace ve {

class RtpPacket;
namespace platform {
class SocketWakeup;
}

// What the reception record knows of the source it follows.
struct RtpReceiverStats {
  bool sourceSet = false;       // a source passed probation and is followed
  uint32_t ssrc = 0;
  uint16_t baseSeq = 0;         // first counted sequence number
  uint16_t maxSeq = 0;          // highest sequence number seen
  uint32_t cycles = 0;          // sequence wraps, in units of 65536
  uint32_t packetsReceived = 0; // counted packets of the source, duplicates included
  uint32_t expected = 0;        // cycles + maxSeq - baseSeq + 1
  int64_t cumulativeLost = 0;   // expected - received (negative with duplicates)
  uint32_t jitter = 0;          // interarrival jitter in RTP timestamp units, scaled by 16
  uint64_t payloadBytes = 0;    // payload bytes of the counted packets
  uint64_t datagrams = 0;       // every RTP packet handed in, of any source
  uint64_t datagramBytes = 0;   // their payload bytes

  uint32_t ExtendedMax() const { return cycles + maxSeq; }
  double JitterMs() const { return jitter / 16.0 / 8.0; }
};

// One report block's worth of figures about the followed source.
struct ReportBlockFigures {
  uint32_t ssrc = 0;
  uint8_t fractionLost = 0;     // lost share since the previous block, in 1/256
  int32_t cumulativeLost = 0;   // clamped to the 24-bit signed range of the wire
  uint32_t extendedMax = 0;
  uint32_t jitter = 0;          // RTP timestamp units
};

// The reception record of a call: follows one remote SSRC and keeps the sequence, loss and
// jitter figures the RTCP report blocks carry, by the standard algorithms: a source is
// followed once two packets arrived in sequence (probation); the highest sequence number
// moves on within a dropout window and counts wraps; a jump beyond it is taken as a restart
// only when the next packet confirms it; every counted packet, a duplicate included, counts
// as received; the jitter is the smoothed difference of relative transit times in RTP
// timestamp units. Only the peer's packets reach it (the receive path's source gate decides
// which source is heard), so a new SSRC replaces the followed one as soon as it has passed
// probation.
//
// A packet carrying this end's own SSRC from somewhere else than this end is a collision:
// it is counted as the peer's and flagged for the RTCP side, which takes a new SSRC.
//
// Threads: Receive runs on the receive thread; Stats, NextReportBlock and SourceLeft on the
// RTCP thread and the host's threads; Reset and the setters on the engine thread. `mutex`
// guards every figure and is never held while another lock is taken.
class RtpReceiver {
 public:
  static constexpr int32_t kRtpClockPerMs = 8;
  static constexpr uint16_t kMaxDropout = 3000;
  static constexpr uint16_t kMaxMisorder = 100;
  static constexpr int32_t kMinSequential = 2;

  RtpReceiver() = default;
  RtpReceiver(const RtpReceiver&) = delete;
  RtpReceiver& operator=(const RtpReceiver&) = delete;

  // A new call: forgets the source and every count.
  void Reset();

  // Counts one received packet, arrived now.
  void Receive(const RtpPacket& packet);
  // The same with the arrival given in RTP timestamp units of a monotonic clock.
  void ReceiveAt(const RtpPacket& packet, uint32_t arrivalUnits);

  // The peer said BYE for ssrc: a source of that SSRC on probation is forgotten, and the
  // listener (the playout) is told, outside the lock.
  void SourceLeft(uint32_t ssrc);
  // Set before the threads that call SourceLeft start; may be empty.
  void SetSourceLeftListener(std::function<void(uint32_t)> listener) { sourceLeftListener = std::move(listener); }

  RtpReceiverStats Stats() const;
  // The figures of the next report block about the followed source (the loss fraction counts
  // from the previous call); false when no source is followed.
  bool NextReportBlock(ReportBlockFigures* out);

  // This end's SSRC, for collision detection; 0 turns the check off.
  void SetOwnSsrc(uint32_t ssrc) { ownSsrc = ssrc; }
  // Signalled when a collision is seen (may be null).
  void SetCollisionSignal(platform::SocketWakeup* signal) { collisionSignal = signal; }
  // True once per collision seen since the last call.
  bool TakeCollision() { return collision.exchange(false); }

 private:
  struct Sequence {
    uint16_t maxSeq = 0;
    uint32_t cycles = 0;
    uint16_t baseSeq = 0;
    uint32_t badSeq = 0x10001;  // a value no sequence number takes
    int32_t probation = 0;
    uint32_t received = 0;
    uint32_t expectedPrior = 0;
    uint32_t receivedPrior = 0;
  };

  static void InitSequence(Sequence* s, uint16_t seq);
  // The standard sequence update: true when the packet counts.
  static bool UpdateSequence(Sequence* s, uint16_t seq);
  void Follow(uint32_t ssrc, const Sequence& probationState);
  void CountTransit(uint32_t timestamp, uint32_t arrivalUnits);

  mutable std::mutex mutex;
  // The followed source.
  bool sourceSet = false;
  uint32_t ssrc = 0;
  Sequence seq;
  bool transitSet = false;
  int32_t transit = 0;
  uint32_t jitter = 0;
  uint64_t payloadBytes = 0;
  // A source on probation (the first one, or one that may replace the followed one).
  bool candidateSet = false;
  uint32_t candidateSsrc = 0;
  Sequence candidate;
  uint64_t datagrams = 0;
  uint64_t datagramBytes = 0;

  std::atomic<uint32_t> ownSsrc{0};
  std::atomic<bool> collision{false};
  std::atomic<platform::SocketWakeup*> collisionSignal{nullptr};
  std::function<void(uint32_t)> sourceLeftListener;
};

}  // namespace ve
