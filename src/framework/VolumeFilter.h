#pragma once

#include <atomic>
#include <cstdint>

#include "framework/AudioFilter.h"

namespace ve {

// Scales 16-bit PCM in place by (level/100)^2, level 0..100 (0 after construction). Other
// holders of the sample see the scaled values.
class VolumeFilter : public AudioFilter {
 public:
  int32_t SetLevel(int32_t v);
  int32_t GetLevel() const { return level; }

  int32_t Transform(SampleList* inputs, AudioSample** out) override;

 private:
  std::atomic<int32_t> level{0};  // set by the host, read by the driving thread
};

}  // namespace ve
