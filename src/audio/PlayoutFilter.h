#pragma once

#include <atomic>
#include <cstdint>

#include "audio/PlayoutCore.h"
#include "framework/AudioFilter.h"

namespace ve {

// The call's playout in the receive chain: RTP packets pushed in by the network thread go to
// the PlayoutCore still encoded; each pull by the playback side takes the next `blockMs` of
// decoded audio out of it. A pull always yields audio (silence or comfort noise when nothing
// is there to play), so files mixed into what the user hears keep playing while no RTP
// arrives.
//
// Threads: ProcessSamples on the network thread, ProduceSample on the playback thread, the
// rest on the owner's; the core has its own lock and blockMs is atomic.
class PlayoutFilter : public AudioFilter {
 public:
  static constexpr int32_t kDefaultBlockMs = 10;

  // The length of each pulled block: a multiple of 10 ms, at most 200 ms.
  int32_t SetBlockMs(int32_t ms);
  int32_t BlockMs() const { return blockMs.load(); }

  // Forgets every packet, source and figure: the start of a call or a new remote.
  int32_t Prepare() override;
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

  PlayoutCore& Core() { return core; }

 protected:
  // Network thread: hands the packet of the first sample to the core; -10 when it has none.
  int32_t ProcessSamples(SampleList* list) override;
  // Playback thread: the next block, never pulling the RTP source (which pushes).
  int32_t ProduceSample(AudioSample** out) override;

 private:
  PlayoutCore core;
  std::atomic<int32_t> blockMs{kDefaultBlockMs};
};

}  // namespace ve
