#pragma once

// Small scripted components for driving the media framework in tests.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "framework/AudioFilter.h"
#include "framework/AudioSample.h"
#include "framework/AudioSink.h"
#include "framework/AudioSource.h"

namespace ve::test {

// Takes a pooled sample holding `value` as one 16-bit PCM value.
AudioSample* MakeSample(int16_t value);
// Samples taken from the pool and not yet given back (created minus free). Tests compare it
// before and after a run: other tests in the same process may legitimately hold samples.
int32_t OutstandingSamples();
// Replaces the process pool with a new one; only when the test holds no samples. Used after
// tests that leave deliberately broken samples (a double release) in the pool.
void ReplacePool();
// The first 16-bit value of a sample (0 when it has fewer than two bytes).
int16_t FirstValue(const AudioSample* sample);

// A source whose samples count up from 1. ProduceSample returns `failWith` once `limit`
// samples have been produced (limit < 0: never).
class CountingSource : public AudioSource {
 public:
  int32_t limit = -1;
  int32_t failWith = -1;
  int32_t threadStartResult = 0;
  std::atomic<int32_t> produced{0};
  std::atomic<int32_t> threadEnds{0};

  using AudioSource::Close;
  using AudioSource::Open;

 protected:
  int32_t ProduceSample(AudioSample** out) override;
  int32_t OnThreadStart(platform::Thread*, uint32_t) override { return threadStartResult; }
  int32_t OnThreadEnd(platform::Thread*, uint32_t) override {
    ++threadEnds;
    return 0;
  }
};

// A sink that records the first value of every sample it processes, cycle by cycle.
class RecordingSink : public AudioSink {
 public:
  int32_t threadStartResult = 0;
  int32_t openResult = 0;
  int32_t closeResult = 0;
  std::atomic<int32_t> closeCalls{0};
  std::atomic<int32_t> cycles{0};
  std::atomic<int32_t> samples{0};
  // Stops recording values after this many (keeps long runs from growing the vector).
  size_t keepValues = 100000;

  std::vector<std::vector<int16_t>> Cycles();

 protected:
  int32_t ProcessSamples(SampleList* list) override;
  int32_t OnThreadStart(platform::Thread*, uint32_t) override { return threadStartResult; }
  int32_t OnOpen() override { return openResult; }
  int32_t OnClose() override {
    ++closeCalls;
    return closeResult;
  }

 private:
  std::mutex mutex;
  std::vector<std::vector<int16_t>> recorded;
};

// Adds `offset` to the first value: into a new pooled sample (copy) or in place (sharing the
// input, as in-place filters do).
class AddFilter : public AudioFilter {
 public:
  explicit AddFilter(int16_t add, bool inPlace = false) : offset(add), inPlace(inPlace) {}
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

 private:
  int16_t offset;
  bool inPlace;
};

}  // namespace ve::test
