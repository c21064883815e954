#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "baseline/RtpPlayoutQueue.h"
#include "framework/AudioFilter.h"
#include "platform/CriticalSection.h"

namespace ve {

// Sits between the decoder and the call's player. Every decoded sample pushed in is filed in
// the playout queue of its RTP source (SSRC); every pull hands out the next sample of exactly
// one source, the current one, or a gap marker of `frameMs` when no source is ready. A source
// becomes current once it has buffered `selectThresholdMs`; the lowest SSRC wins and every
// other queue is deleted. The current queue is deleted when it is empty at a request or has
// given nothing 6 requests in a row, and a new source is chosen the same way.
//
// The take and underrun counters that time depth adaptation belong to this selector, shared
// by its queues, so two selectors in one process do not disturb each other.
//
// Threads: ProcessSamples runs on the decoder (pushing) thread, ProduceSample on the player's
// (pulling) thread, the setters and Prepare/Unprepare on the owner's. `queuesLock` guards
// `current`, `queues`, `missCount` and `counters`, and is held around every call into a queue,
// so no queue is deleted under a running Add or Take. `preparedLock` guards `prepared`; the two
// are held together only in Prepare (preparedLock, then queuesLock).
class SsrcSelectorFilter : public AudioFilter {
 public:
  static constexpr int32_t kDefaultSelectThresholdMs = 100;
  static constexpr int32_t kDefaultFrameMs = 20;
  static constexpr int32_t kMaxMisses = 6;

  SsrcSelectorFilter() = default;
  ~SsrcSelectorFilter() override;

  int32_t SetSelectThreshold(int32_t ms);
  int32_t SetFrameMs(int32_t ms);

  // Prepare discards every queue (unless already prepared); Unprepare only stops the flow.
  int32_t Prepare() override;
  int32_t Unprepare() override;
  // The selector produces its output in ProduceSample; Transform does nothing.
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

  // What the queues have done since construction.
  PlayoutStats Stats();
  // Depth of the current source's queue, or -1 when none is current.
  int32_t CurrentDepthMs();
  // SSRC of the current source; false when none is current.
  bool CurrentSsrc(uint32_t* ssrc);
  // Number of sources with a queue.
  int32_t QueueCount();

 protected:
  // Decoder thread: files the first sample of the list in its source's queue. -10 when it
  // carries no RTP packet, -20 when no queue can be made for a new source.
  int32_t ProcessSamples(SampleList* list) override;
  // Player thread: the current source's next sample, or a gap marker.
  int32_t ProduceSample(AudioSample** out) override;

 private:
  void Select();
  void DeleteQueue(RtpPlayoutQueue* queue);
  AudioSample* MakeGapMarker(int32_t ms);

  RtpPlayoutQueue* current = nullptr;
  std::atomic<int32_t> selectThresholdMs{kDefaultSelectThresholdMs};
  std::atomic<int32_t> frameMs{kDefaultFrameMs};
  bool prepared = false;
  platform::CriticalSection queuesLock;
  platform::CriticalSection preparedLock;
  std::map<uint32_t, RtpPlayoutQueue*> queues;
  int32_t missCount = 0;
  PlayoutCounters counters;
};

}  // namespace ve
