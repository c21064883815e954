#pragma once

#include <array>

#include <atomic>
#include <cstdint>
#include <vector>

#include "framework/AudioFilter.h"
#include "platform/CriticalSection.h"
#include "platform/WaveFormat.h"

namespace ve {

// Re-blocks a stream of samples of any length into samples of frameMs milliseconds. Incoming
// audio bytes go into a first-in first-out store, gap markers as the zero bytes they stand
// for, and a frame is cut off the front whenever a whole one is there. A frame made of gap
// markers alone goes on as a gap marker, so silence stays silence for the coder (no voice
// packets of zeros).
//
// Pushed (ProcessSamples): every whole frame is pushed on at once. Pulled (ProduceSample, or
// the filter's own thread): the call pulls from upstream until a frame is complete, sleeping
// 5 ms after each pull that gave nothing; it ends early, with a gap marker of one frame, when
// the filter is unprepared or its own thread is being stopped. While unprepared, pushed input
// is dropped and every pull is answered at once with such a gap marker.
//
// Threads: the owner calls SetFrameMs, Prepare and Unprepare; one thread drives the filter in
// one direction at a time. `bytesLock` guards the store, format, units and frameBytes; it is
// taken before the base's listenersLock. `prepared` and `frameMs` are atomics the owner may
// change while a pull waits.
class FrameFilter : public AudioFilter {
 public:
  // Limit of the store: 64 pool samples. Audio arriving while it is full is dropped.
  static constexpr int32_t kMaxStoredBytes = 64 * 3200;

  int32_t SetFrameMs(int32_t ms);
  // Empties the store and expects 8 kHz 16-bit mono PCM until the first input says otherwise.
  int32_t Prepare() override;
  // The stored bytes stay until the next Prepare.
  int32_t Unprepare() override;
  int32_t Transform(SampleList*, AudioSample**) override { return 0; }

  int32_t FrameMs() const { return frameMs; }
  int32_t StoredBytes();

 protected:
  int32_t ProduceSample(AudioSample** out) override;
  int32_t ProcessSamples(SampleList* list) override;

 private:
  // A ring of bytes that grows (by doubling) only when it must, so a steady stream does not
  // allocate.
  class ByteStore {
   public:
    int32_t Size() const { return size; }
    void Clear() { head = size = 0; }
    // Appends n bytes (null `from`: zero bytes), up to kMaxStoredBytes in all.
    void Append(const uint8_t* from, int32_t n);
    // Moves the first n bytes (n <= Size) into `to`.
    void Take(uint8_t* to, int32_t n);

   private:
    std::vector<uint8_t> ring;
    int32_t head = 0;
    int32_t size = 0;
  };

  // Which stretches of the store came from gap markers: runs of bytes from the front, adjacent
  // runs of one kind merged. Past kMaxRuns a gap run is taken as audio (zero bytes coded).
  class RunList {
   public:
    static constexpr int32_t kMaxRuns = 64;
    void Clear() { first = count = 0; }
    void Append(int32_t n, bool gap);
    // Drops n bytes from the front; true when they were all gap.
    bool Take(int32_t n);

   private:
    struct Run {
      int32_t bytes;
      bool gap;
    };
    std::array<Run, kMaxRuns> runs{};
    int32_t first = 0;
    int32_t count = 0;
  };

  // Adds the first sample of `list` to the store and takes over its format; sleeps 5 ms when
  // the list is empty.
  void Accumulate(SampleList* list);
  // Recomputes frameBytes from frameMs and the stored units; under bytesLock.
  void UpdateFrameBytes();
  // A pool sample of the stored format holding the next frame; under bytesLock.
  AudioSample* CutFrame();
  bool FrameReady();
  bool StopRequestedOnOwnThread() const;

  std::atomic<int32_t> frameMs{20};
  int32_t frameBytes = 1000;
  int32_t microsPerUnit = 1;
  int32_t bytesPerUnit = 1;
  WAVEFORMATEX format{};
  std::atomic<bool> prepared{false};
  ByteStore bytes;
  RunList runs;
  platform::CriticalSection bytesLock;
};

}  // namespace ve
