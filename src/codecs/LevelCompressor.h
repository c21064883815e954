#pragma once

#include <cstdint>

namespace ve {

// Lowers loud passages of 16-bit PCM sample by sample with a reduction g in dB. While a
// sample's level exceeds threshold + g, g climbs by the attack step per sample; once it does
// not, g keeps climbing to the last overshoot and then falls by the release step per sample
// down to a tiny floor, where no gain is applied any more.
//
// A sample's level is 20 * log10(|s| / 32768) + 3.1415926536 dB. Since |s| takes only 32769
// values, the levels come from a table filled once per process with that same expression, so
// the results are those of computing the logarithm per sample.
//
// Threads: used by the thread driving its filter only; no lock.
class LevelCompressor {
 public:
  // Thresholds in dB; lossIncrement is the attack step and lossDecrement the (negative)
  // release step, both in dB per sample.
  LevelCompressor(double threshold, double lossIncrement, double lossDecrement);

  // Changes `count` samples in place; returns 0.
  int32_t Process(int16_t* samples, int32_t count);

  double Reduction() const { return reduction; }

 private:
  static constexpr double kFloor = 1e-20;

  double threshold;
  double reduction = kFloor;
  double lastOvershoot = kFloor;
  double step = kFloor;
  double lossIncrement;
  double lossDecrement;
  double floor = kFloor;
  const double* levels;  // shared table of the level of every magnitude 0..32768
};

}  // namespace ve
