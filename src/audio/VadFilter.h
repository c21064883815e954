#pragma once

#include <cstdint>

#include "codecs/VoiceActivityDetector.h"
#include "framework/AudioFilter.h"

namespace ve {

// Turns 16-bit PCM samples that its voice activity detector judges silent into gap markers
// of the same duration, in place, so that they are neither coded nor sent. Prepare resets the
// detector; while disabled, samples pass untouched.
//
// Threads: Enable/Disable/Prepare come from the owner; Transform runs on the driving thread
// and changes the sample it was handed, which is the one that goes downstream. No lock.
class VadFilter : public AudioFilter {
 public:
  int32_t Enable() {
    enabled = true;
    return 0;
  }
  int32_t Disable() {
    enabled = false;
    return 0;
  }

  // Resets the detector and returns its result.
  int32_t Prepare() override;
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

 private:
  VoiceActivityDetector detector;
  bool enabled = true;
};

}  // namespace ve
