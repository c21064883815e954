#include "codecs/VoiceActivityDetector.h"

#include <cmath>

namespace ve {

namespace {

// The envelope in dB; 0 gives minus infinity.
float LevelOf(uint32_t energy) { return static_cast<float>(10.0 * std::log10(static_cast<double>(energy)) - 93.32); }

}  // namespace

int32_t VoiceActivityDetector::Reset() {
  enabled = true;
  energy = 10000;
  rising = true;
  margin = 10.0f;
  noiseFloor = -74.0f;
  floorTimer = kFloorRiseSamples;
  hangover = kHangoverSamples;
  return 0;
}

int32_t VoiceActivityDetector::IsSilent(const int16_t* samples, int32_t count) {
  if (!enabled) return 0;
  bool speech = false;
  for (int32_t start = 0; start < count; start += kBlockSamples) {
    int32_t n = count - start < kBlockSamples ? count - start : kBlockSamples;
    if (ProcessBlock(samples + start, n)) speech = true;
  }
  return speech ? 0 : 1;
}

bool VoiceActivityDetector::ProcessBlock(const int16_t* samples, int32_t n) {
  uint32_t largest = energy;
  uint32_t smallest = energy;
  for (int32_t i = 0; i < n; ++i) {
    auto d = static_cast<int16_t>(samples[i] - previous);  // wraps like the 16-bit difference
    previous = samples[i];
    auto power = static_cast<uint32_t>(d * d);
    uint32_t decay;
    if (rising) {
      decay = energy >> 6;
      power >>= 5;
    } else {
      decay = energy >> 9;
      power >>= 8;
    }
    auto step = static_cast<int32_t>(power - decay);
    rising = step > 0;
    energy += static_cast<uint32_t>(step);
    if (energy > largest) {
      largest = energy;
    } else if (energy < smallest) {
      smallest = energy;
    }
  }

  const float peak = LevelOf(largest);
  const float trough = LevelOf(smallest);
  if (trough <= noiseFloor) {
    noiseFloor = trough;
    floorTimer = kFloorRiseSamples;
  } else if (floorTimer < n) {
    noiseFloor += 1.0f;
    floorTimer += kFloorRiseSamples - n;
  } else {
    floorTimer -= n;
  }

  if (peak > noiseFloor + margin) {
    hangover = kHangoverSamples;
    return true;
  }
  if (hangover < n) {
    hangover = 0;
    return false;
  }
  hangover -= n;
  return true;
}

}  // namespace ve
