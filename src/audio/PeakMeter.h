#pragma once

#include <atomic>
#include <cstdint>

namespace ve {

// The level of the audio a device component last handled, for the host's level meters: the
// largest magnitude of the little-endian 16-bit values of one buffer (0 for silence).
// Written by the component's thread, read by any thread.
class PeakMeter {
 public:
  void Measure(const uint8_t* pcm16, int32_t bytes) {
    int32_t peak = 0;
    for (int32_t at = 0; at + 1 < bytes; at += 2) {
      int32_t value = static_cast<int16_t>(pcm16[at] | (pcm16[at + 1] << 8));
      if (value < 0) value = -value;
      if (value > peak) peak = value;
    }
    level.store(peak, std::memory_order_relaxed);
  }
  void Silence() { level.store(0, std::memory_order_relaxed); }
  int32_t Level() const { return level.load(std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> level{0};
};

}  // namespace ve
