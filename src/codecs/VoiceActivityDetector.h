#pragma once

#include <cstdint>

namespace ve {

// Decides, block by block, whether 16-bit PCM at 8 kHz holds speech. It follows the energy of
// the signal's first difference with an envelope that rises fast and decays slowly, tracks a
// noise floor that follows every drop at once and climbs back at 1 dB per 1.5 s, and calls a
// 40-sample block speech when the envelope peaks more than a 10 dB margin above the floor.
// Speech is held for 4000 samples (0.5 s) after the last such block.
//
// Each detector has its own state, so several engines in one process do not disturb each
// other. A new detector is disabled (everything counts as speech) until Reset.
//
// Threads: used by the thread driving its filter only; no lock.
class VoiceActivityDetector {
 public:
  static constexpr int32_t kBlockSamples = 40;
  static constexpr int32_t kHangoverSamples = 4000;
  static constexpr int32_t kFloorRiseSamples = 12000;

  // Enables the detector and sets the envelope, floor and hangover to their starting values;
  // the previous sample of the difference filter is kept. Returns 0.
  int32_t Reset();

  // 1 when no block of `count` samples holds speech, 0 otherwise. Every block is processed,
  // so the state follows the whole input.
  int32_t IsSilent(const int16_t* samples, int32_t count);

 private:
  // Runs one block of at most kBlockSamples samples; true when it counts as speech.
  bool ProcessBlock(const int16_t* samples, int32_t n);

  bool enabled = false;
  uint32_t energy = 10000;
  bool rising = true;
  float margin = 10.0f;
  float noiseFloor = -74.0f;
  int32_t floorTimer = kFloorRiseSamples;
  int32_t hangover = kHangoverSamples;
  int16_t previous = 1700;
};

}  // namespace ve
