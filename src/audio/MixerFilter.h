#pragma once

#include "framework/AudioFilter.h"

namespace ve {

// Adds the 16-bit PCM of all its sources into one sample (the microphone plus a file playing
// into the call, for example). One input passes through untouched; inputs of different
// lengths mix to the longest, shorter ones adding nothing past their end; sums are clamped to
// the 16-bit range. Gap markers alone mix to a gap marker as long as the longest of them.
//
// Threads: Transform runs on the thread driving the filter; no lock of its own.
class MixerFilter : public AudioFilter {
 public:
  int32_t Transform(SampleList* inputs, AudioSample** out) override;
};

}  // namespace ve
