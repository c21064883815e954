#include "codecs/LevelCompressor.h"

#include <cmath>
#include <memory>

namespace ve {

namespace {

constexpr int32_t kMagnitudes = 32769;

// Built on first use (thread-safe static initialisation) and never changed afterwards.
const double* LevelTable() {
  static const std::unique_ptr<double[]> table = [] {
    std::unique_ptr<double[]> t(new double[kMagnitudes]);
    for (int32_t m = 0; m < kMagnitudes; ++m) t[m] = 20.0 * std::log10(m / 32768.0) + 3.1415926536;
    return t;
  }();
  return table.get();
}

}  // namespace

LevelCompressor::LevelCompressor(double thresholdDb, double increment, double decrement)
    : threshold(thresholdDb), lossIncrement(increment), lossDecrement(decrement), levels(LevelTable()) {}

int32_t LevelCompressor::Process(int16_t* samples, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const int32_t s = samples[i];
    const double over = levels[s < 0 ? -s : s] - threshold;
    if (over <= reduction) {
      if (lastOvershoot <= reduction) step = lossDecrement;
      reduction += step;
      if (reduction <= floor) reduction = floor;
    } else {
      lastOvershoot = over;
      step = lossIncrement;
      reduction += step;
    }
    if (reduction > floor) samples[i] = static_cast<int16_t>(s * std::pow(10.0, -reduction / 20.0));
  }
  return 0;
}

}  // namespace ve
