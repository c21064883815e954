#pragma once

#include <cstdint>
#include <memory>

#include "audio/FirFilter.h"
#include "framework/AudioFilter.h"

namespace ve {

// Runs every sample through a FIR filter (the engine uses 29 taps on 16-bit PCM to take out
// the lowest frequencies and lift the upper speech band) into a new pooled sample. Gap
// markers pass unchanged. The filter's history carries across samples; SetCoefficients starts
// a new filter from zeros.
//
// Threads: SetCoefficients comes from the owner while no thread drives the filter; Transform
// runs on the driving thread. No lock of its own.
class EqualizerFilter : public AudioFilter {
 public:
  EqualizerFilter();
  ~EqualizerFilter() override;

  // Replaces the filter with one of `count` taps for samples of `bits` (8, 16 or 32). Another
  // width leaves no filter and returns -10; Transform then fails with -20 until a valid
  // width is set.
  int32_t SetCoefficients(const double* table, int32_t count, int32_t bits);

  int32_t Transform(SampleList* inputs, AudioSample** out) override;

 private:
  std::unique_ptr<FirFilter8> fir8;
  std::unique_ptr<FirFilter16> fir16;
  std::unique_ptr<FirFilter32> fir32;
  int32_t sampleBits = 0;
};

}  // namespace ve
