#include "audio/EqualizerFilter.h"

#include "AudioTestSupport.h"

namespace ve {
namespace {

using test::Cycle;
using test::MakePcm;
using test::Raw;
using test::Values;

// The send set in use during calls: 29 symmetric taps, the first 15 given.
std::vector<double> SendSetB() {
  const double half[15] = {0.001554, -0.004377, -0.017541, -0.009891, -0.005435, -0.014788, -0.015432, -0.013299,
                           -0.026527, 0.012746, -0.061046, 0.020939, -0.12897,  -0.165718, 0.853968};
  std::vector<double> taps(29);
  for (int k = 0; k < 15; ++k) taps[k] = taps[28 - k] = half[k];
  return taps;
}

// 1000 times the sum of taps 0..k, truncated toward zero, in exact integer arithmetic on the
// six-decimal values.
int32_t PartialResponse(const std::vector<double>& taps, int32_t k) {
  int64_t micro = 0;
  for (int32_t j = 0; j <= k && j < static_cast<int32_t>(taps.size()); ++j) micro += std::llround(taps[j] * 1e6);
  return static_cast<int32_t>(micro / 1000);
}

// Without a valid width every block fails; once set, a constant input gives the running sums
// of the taps, also across samples; new coefficients start from silence; gap markers go on as
// they are.
TEST(EqualizerFilter, ConstantInputGivesPartialThenFullTapSumsAcrossSamples) {
  const std::vector<double> taps = SendSetB();
  EqualizerFilter equalizer;
  EXPECT_EQ(equalizer.SetCoefficients(taps.data(), 29, 24), -10);
  EXPECT_EQ(Cycle(equalizer, {MakePcm({1, 2})}).result, -20);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(equalizer.SetCoefficients(taps.data(), 29, 16), 0);
    std::vector<int16_t> out = Values(Cycle(equalizer, {MakePcm(std::vector<int16_t>(13, 1000))}).output);
    const std::vector<int16_t> rest = Values(Cycle(equalizer, {MakePcm(std::vector<int16_t>(47, 1000))}).output);
    out.insert(out.end(), rest.begin(), rest.end());
    ASSERT_EQ(out.size(), 60u);
    for (int32_t k = 0; k < 60; ++k) EXPECT_EQ(out[k], PartialResponse(taps, k)) << k;
  }
  Cycle gap(equalizer, {test::MakeGap(kFormatPcm16, 20)});
  ASSERT_EQ(gap.result, 0);
  EXPECT_EQ(gap.output->DataSize(), 0);
  EXPECT_EQ(gap.output->SilenceMs(), 20);
}

// Each width works on values of its own size and clamps to its own range; a 32-bit filter on
// 16-bit audio takes only the whole 32-bit values the data holds.
TEST(EqualizerFilter, EachWidthDoublesAndClampsInItsOwnRange) {
  struct Case {
    int32_t bits, format;
    std::vector<uint8_t> in, out;
  };
  const Case cases[] = {
      {8, kFormatALaw, Raw<int8_t>({10, 100, -56, -6}), Raw<int8_t>({20, 127, -112, -12})},
      {16, kFormatPcm16, Raw<int16_t>({100, 20000, -20000, -100}), Raw<int16_t>({200, 32767, -32768, -200})},
      {32, kFormatPcm16, Raw<int32_t>({100000, 2000000000, -2000000000, -7}),
       Raw<int32_t>({200000, 2147483647, -2147483647 - 1, -14})},
  };
  const double doubling[] = {2.0};
  for (const Case& c : cases) {
    EqualizerFilter equalizer;
    ASSERT_EQ(equalizer.SetCoefficients(doubling, 1, c.bits), 0);
    Cycle cycle(equalizer, {test::MakeBytes(c.format, c.in)});
    ASSERT_EQ(cycle.result, 0);
    EXPECT_EQ(std::vector<uint8_t>(cycle.output->Data(), cycle.output->Data() + cycle.output->DataSize()), c.out)
        << c.bits;
  }
}

}  // namespace
}  // namespace ve
