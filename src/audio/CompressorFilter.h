#pragma once

#include <cstdint>
#include <memory>

#include "codecs/LevelCompressor.h"
#include "framework/AudioFilter.h"

namespace ve {

// Lowers loud passages of 16-bit PCM in place with a level compressor (threshold in dB,
// attack and release steps in dB per sample).
//
// Threads: SetParameters comes from the owner while nothing drives the filter; Transform runs
// on the driving thread and changes the sample it was handed. No lock.
class CompressorFilter : public AudioFilter {
 public:
  CompressorFilter(double threshold, double lossIncrement, double lossDecrement);
  ~CompressorFilter() override;

  // Replaces the compressor by a new one, so its reduction starts afresh; returns 0.
  int32_t SetParameters(double threshold, double lossIncrement, double lossDecrement);

  int32_t Transform(SampleList* inputs, AudioSample** out) override;

 private:
  std::unique_ptr<LevelCompressor> compressor;
};

}  // namespace ve
