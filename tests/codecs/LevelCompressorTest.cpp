#include "codecs/LevelCompressor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace ve {
namespace {

constexpr double kAttack = 0.075;
constexpr double kRelease = -0.00075;
// The level of full scale, 20 * log10(32767 / 32768) + 3.1415926536, above the -8 dB threshold.
const double kOvershoot = 20.0 * std::log10(32767.0 / 32768.0) + 3.1415926536 + 8.0;
const int32_t kClimb = static_cast<int32_t>(std::ceil(kOvershoot / kAttack));

int16_t ProcessOne(LevelCompressor& compressor, int16_t value) {
  compressor.Process(&value, 1);
  return value;
}

// Input just below the threshold is left alone. After a short loud burst the reduction keeps
// climbing to the overshoot it saw, then falls to the floor; under steady loud input it climbs
// by the attack step per sample, and once the input is quiet it falls by the release step.
TEST(LevelCompressor, FollowsTheOvershootByAttackAndReleaseSteps) {
  LevelCompressor compressor(-8.0, kAttack, kRelease);
  // 9000 lies at about -8.08 dB: just below the threshold.
  std::vector<int16_t> quiet = {0, 100, -100, 9000, -9000, 0};
  std::vector<int16_t> copy = quiet;
  compressor.Process(quiet.data(), static_cast<int32_t>(quiet.size()));
  EXPECT_EQ(quiet, copy);
  EXPECT_EQ(compressor.Reduction(), 1e-20);

  for (int i = 0; i < 10; ++i) ProcessOne(compressor, 32767);
  double peak = 0.0;
  int32_t peakAt = 0;
  for (int32_t i = 0; i < 20000; ++i) {
    EXPECT_EQ(ProcessOne(compressor, 0), 0) << "zero stays zero";
    if (compressor.Reduction() > peak) {
      peak = compressor.Reduction();
      peakAt = i;
    }
  }
  EXPECT_GE(peak, kOvershoot);
  EXPECT_LT(peak, kOvershoot + kAttack);
  EXPECT_EQ(peakAt, kClimb - 11);
  EXPECT_EQ(compressor.Reduction(), 1e-20);

  for (int32_t i = 0; i < 2000; ++i) {
    double before = compressor.Reduction();
    int16_t out = ProcessOne(compressor, 32767);
    double g = compressor.Reduction();
    if (i < kClimb) {
      EXPECT_NEAR(g - before, kAttack, 1e-9) << i;
    }
    EXPECT_LE(g, kOvershoot + kAttack + 1e-9) << i;
    EXPECT_NEAR(out, static_cast<int>(32767 * std::pow(10.0, -g / 20.0)), 1) << i;
  }
  double settledReduction = compressor.Reduction();
  for (int i = 0; i < 1000; ++i) ProcessOne(compressor, 0);
  EXPECT_NEAR(settledReduction - compressor.Reduction(), 1000 * -kRelease, 1e-6);
}

}  // namespace
}  // namespace ve
