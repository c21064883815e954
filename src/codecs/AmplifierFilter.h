#pragma once

#include <array>
#include <cstdint>

#include "framework/AudioFilter.h"

namespace ve {

// Raises quiet speech block by block: it finds the magnitude below which `percentile` percent
// of a block's samples lie (to 1/256 of full scale), and scales the block in place so that
// this magnitude reaches full scale, never by more than maximumAmplification / 100 and never
// attenuating. Samples beyond full scale are clipped. Blocks are independent.
//
// With the construction values (100 % and a limit of 100) blocks pass unchanged. Gap markers
// do not pass.
//
// Threads: the setters come from the owner before the filter is prepared; Transform runs on
// the driving thread. No lock.
class AmplifierFilter : public AudioFilter {
 public:
  ~AmplifierFilter() override = default;

  // Clamped to 0..100; returns 0.
  int32_t SetPercentile(double value);
  // In hundredths (100 = factor 1); values below 100 become 100; returns 0.
  int32_t SetMaximumAmplification(int32_t value);

  double Percentile() const { return percentile; }
  int32_t MaximumAmplification() const { return maximumAmplification; }

  int32_t Prepare() override { return 0; }
  // 0 with the input scaled in place as the output; -10 no input, -20 a gap marker, -30 a
  // sample width other than 8, 16 or 32 bits (no output for any of them).
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

 private:
  template <typename T>
  void Amplify(uint8_t* data, int32_t n, double fullScale);

  double percentile = 100.0;
  int32_t maximumAmplification = 100;
  std::array<uint32_t, 256> histogram{};
};

}  // namespace ve
