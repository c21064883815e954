#pragma once

#include <cstdint>

#include "framework/AudioSink.h"
#include "framework/AudioSource.h"

namespace ve {

// Base of every filter: a source (first base) and a sink (second base) that turns the samples
// collected from upstream into one output sample with Transform. It works in whichever
// direction it is driven: pushed by an upstream source (ProcessSamples), pulled by a
// downstream sink (ProduceSample), or from its own AudioSource thread. It keeps no queue.
//
// Threads: Transform runs on the thread that drives the filter. Pushes through the filter
// take the producer's listenersLock, then this sourcesLock, then this listenersLock; pulls
// take the sink's sourcesLock, then this sourcesLock, then this listenersLock.
class AudioFilter : public AudioSource, public AudioSink {
 public:
  AudioFilter() = default;
  ~AudioFilter() override = default;

  virtual int32_t Prepare();
  virtual int32_t Unprepare();
  // Turns `inputs` into one sample in `*out` (or none). A filter may hand its first input on
  // as the output after taking a reference to it.
  virtual int32_t Transform(SampleList* inputs, AudioSample** out);

  AudioSource* AsSource() { return this; }
  AudioSink* AsSink() { return this; }

 protected:
  // Pulled direction and the filter's own thread: pull from every source, then Transform.
  int32_t ProduceSample(AudioSample** out) override;
  // Pushed direction: Transform the collected samples and push the result onward.
  int32_t ProcessSamples(SampleList* list) override;
};

// Links `from` to `to` (each side registers the other once) and unlinks them. A filter passed
// as `to` is linked through its sink half, as `from` through its source half.
int32_t Connect(AudioSource* from, AudioSink* to);
int32_t Disconnect(AudioSource* from, AudioSink* to);

}  // namespace ve
