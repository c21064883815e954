#pragma once

#include <cstdint>
#include <vector>

#include "platform/CriticalSection.h"

namespace ve {

class AudioSample;
class RtpPacket;

// The RTP packet a sample carries, or null when it carries none (or something else).
RtpPacket* RtpPacketOf(AudioSample* sample);

// Sample order of the playout queues: whether sample `a` is played before sample `b`. Samples
// without an RTP packet are never before anything. Timestamps decide first, sequence numbers
// when the timestamps are equal; both compare with wrap-around, so 0x00000010 comes after
// 0xFFFFFFF0.
bool IsBefore(AudioSample* a, AudioSample* b);
bool IsNotBefore(AudioSample* a, AudioSample* b);
// The same order on bare header fields.
bool IsBefore(uint32_t timestampA, uint16_t sequenceA, uint32_t timestampB, uint16_t sequenceB);

// What the queues of one selector did, summed over every queue the selector has had. Only ever
// incremented; the queues' own state (depth, counters) lives elsewhere.
struct PlayoutStats {
  int64_t added = 0;            // samples inserted into a queue
  int64_t lateDropped = 0;      // older than the last sample handed out
  int64_t overflowDropped = 0;  // arrived while 10 x depth was already buffered
  int64_t restarts = 0;         // queue reset by a sender restart (sequence jump back)
  int64_t taken = 0;            // samples handed out for the first time
  int64_t repeated = 0;         // hand-outs of the last sample again, covering a gap
  int64_t skipped = 0;          // samples discarded by depth adaptation
  int64_t skippedMs = 0;
  int64_t rebuffers = 0;        // playing -> buffering: a gap 5 repeats could not cover
  int64_t comfortNoise = 0;     // playing -> buffering at a comfort-noise sample
  int64_t depthLowered = 0;     // adaptation steps that lowered the depth
  int64_t depthRaised = 0;
  // Kept by the selector:
  int64_t selections = 0;       // a source became current
  int64_t currentDropped = 0;   // the current queue was deleted (ran empty or failed 6 times)
  int64_t discarded = 0;        // samples released with a deleted queue
  int64_t gapMarkers = 0;       // gap markers handed out
};

// State that every queue of one selector shares: the take counter (samples handed out, modulo
// 100) that times depth adaptation, the underrun count, and the statistics. A stand-alone
// queue keeps its own.
struct PlayoutCounters {
  int32_t takeCounter = 0;
  int32_t underrunCount = 0;
  PlayoutStats stats;
};

// The jitter buffer of one remote source. It keeps its samples ordered by RTP timestamp and
// sequence number, holds them until `depthMs` is buffered, hands them out one per Take,
// repeats the last sample (up to 5 times) to cover a missing packet, starts buffering again at
// comfort noise or after a gap it cannot cover, and adapts its depth once per 100 samples
// handed out: it lowers the depth by 20 ms (not below 40) and skips up to 60 ms of old audio
// when no underrun was seen, and raises it by 20 ms otherwise.
//
// Threads: Add comes from the decoder thread, Take from the player thread; every operation
// holds `lock`, which guards all members. The shared counters (when a selector passes its
// own) are guarded by the selector's queuesLock, which is held around every call into a
// queue; a stand-alone queue guards its private counters with `lock`.
class RtpPlayoutQueue {
 public:
  static constexpr int32_t kComfortNoisePayloadType = 13;
  static constexpr int32_t kInitialDepthMs = 100;
  static constexpr int32_t kMaxRepeats = 5;
  static constexpr int32_t kAdaptEveryTakes = 100;
  static constexpr int32_t kDepthStepMs = 20;
  static constexpr int32_t kMinDepthMs = 40;
  static constexpr int32_t kDepthSlackMs = 40;
  static constexpr int32_t kMaxSkipMs = 60;
  static constexpr int32_t kRestartSequenceJump = 25;
  static constexpr int32_t kBoundDepths = 10;

  // `counters` is shared with the other queues of a selector and must outlive the queue; null
  // gives the queue counters of its own.
  explicit RtpPlayoutQueue(uint32_t ssrc, PlayoutCounters* counters = nullptr);
  virtual ~RtpPlayoutQueue();
  RtpPlayoutQueue(const RtpPlayoutQueue&) = delete;
  RtpPlayoutQueue& operator=(const RtpPlayoutQueue&) = delete;

  int32_t Count();
  int32_t BufferedMs();
  uint32_t Ssrc() const { return ssrc; }
  int32_t DepthMs();
  bool Buffering();
  int32_t SetDepthMs(int32_t ms);

  // Files the sample (taking a reference) in sample order, or drops it: late (before the last
  // sample handed out), or the queue holds 10 x depth already. A sample whose sequence number
  // lies more than 25 below the last one's while its timestamp is earlier means the sender
  // restarted: the queue is reset and starts over with it. A sample without a packet is ignored.
  int32_t Add(AudioSample* sample);
  // Hands out the next due sample, the last one again, or nothing (`*out` null); the caller
  // owns the reference in `*out`.
  int32_t Take(AudioSample** out);
  // Releases every queued sample, forgets the last one and starts buffering again; the depth
  // keeps its value, the shared take and underrun counters go back to 0.
  int32_t Reset();

 private:
  // A queued sample with the header fields the order needs, read once at insertion.
  struct Entry {
    AudioSample* sample;
    uint32_t timestamp;
    uint16_t sequence;
    uint8_t payloadType;
  };
  // Heap order: the entry that comes before all others is at the front.
  static bool LaterThan(const Entry& a, const Entry& b);

  void Insert(AudioSample* sample, const RtpPacket& packet);
  // Removes the front entry; its reference passes to the caller. False when empty.
  bool Pop(Entry* out);
  bool PopAsLast(AudioSample** out);
  void SetLast(AudioSample* sample, uint32_t timestamp, uint16_t sequence);
  void ForgetLast();
  void RepeatLast(AudioSample** out);
  void StartBuffering(int64_t* reason);
  void CountTake();
  void Adapt();
  // Milliseconds from the last sample to `front` at the last sample's clock.
  int32_t GapFromLastMs(const Entry& front) const;

  std::vector<Entry> queue;  // binary heap, see LaterThan
  const uint32_t ssrc;
  int32_t bufferedMs = 0;
  int32_t depthMs = kInitialDepthMs;
  int32_t lastDurationMs = 0;
  AudioSample* last = nullptr;
  uint32_t lastTimestamp = 0;
  uint16_t lastSequence = 0;
  int32_t repeatCount = 0;
  int32_t cnCount = 0;
  bool buffering = true;
  PlayoutCounters ownCounters;
  PlayoutCounters* counters;
  platform::CriticalSection lock;
};

}  // namespace ve
