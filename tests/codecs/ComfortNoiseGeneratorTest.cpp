#include "codecs/ComfortNoiseGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "support/DeviceSignals.h"
#include "support/SignalTools.h"

namespace ve {
namespace {

double LevelDbov(const std::vector<int16_t>& samples, size_t from = 0) {
  return 20 * std::log10(test::Rms(samples, from, samples.size() - from) / 32767.0);
}

std::vector<int16_t> Generate(ComfortNoiseGenerator& generator, size_t count) {
  std::vector<int16_t> out(count);
  generator.Generate(out.data(), static_cast<int32_t>(count));
  return out;
}

// Normalised autocorrelation of `x` at `lag`, from sample 400 on (past any glide).
double Correlation(const std::vector<int16_t>& x, size_t lag) {
  double r0 = 0, r = 0;
  for (size_t n = 400 + lag; n < x.size(); ++n) {
    r0 += double(x[n]) * x[n];
    r += double(x[n]) * x[n - lag];
  }
  return r / r0;
}

TEST(ComfortNoiseGenerator, PlaysAtThePayloadsLevelWhiteOrShaped) {
  const std::vector<uint8_t> shape{30, 100, 160, 120, 135};  // a mildly coloured spectrum
  for (uint8_t level : {30, 40, 60}) {
    for (bool shaped : {false, true}) {
      std::vector<uint8_t> payload{level};
      if (shaped) payload.insert(payload.end(), shape.begin(), shape.end());
      ComfortNoiseGenerator generator;
      ASSERT_TRUE(generator.Update(payload.data(), static_cast<int32_t>(payload.size())));
      // One second after the filter's first 50 ms. Within 1 dB, although 3 dB would do for a
      // listener: a wrong reference for 0 dBov (a sine's RMS, say) would still pass 3 dB.
      EXPECT_NEAR(LevelDbov(Generate(generator, 8400), 400), -level, 1.0)
          << int(level) << (shaped ? " shaped" : " white");
    }
  }
}

// Coefficient bytes b are reflection coefficients k = (b - 127) / 128 of A(z) = 1 + a1 z^-1 +
// a2 z^-2 + ...; noise through 1/A(z) has normalised autocorrelations r1 = -k1 and, with two
// coefficients, r2 = k1^2 (1 + k2) - k2. Without coefficients the noise is white.
TEST(ComfortNoiseGenerator, ReflectionCoefficientsShapeTheSpectrum) {
  for (auto [b1, b2] : {std::pair{127, 127}, {20, 127}, {230, 127}, {40, 200}, {200, 30}, {160, 60}}) {
    const double k1 = (b1 - 127) / 128.0, k2 = (b2 - 127) / 128.0;
    const uint8_t payload[] = {30, static_cast<uint8_t>(b1), static_cast<uint8_t>(b2)};
    ComfortNoiseGenerator generator;
    ASSERT_TRUE(generator.Update(payload, b1 == 127 ? 1 : 3));
    const std::vector<int16_t> noise = Generate(generator, 24000);
    EXPECT_NEAR(Correlation(noise, 1), -k1, 0.03) << b1 << " " << b2;
    EXPECT_NEAR(Correlation(noise, 2), b1 == 127 ? 0.0 : k1 * k1 * (1 + k2) - k2, 0.03) << b1 << " " << b2;
  }
}

TEST(ComfortNoiseGenerator, LevelChangesGlideAndFadesTakeTheirLength) {
  // Twins from one seed play the same noise, so the ratio of their samples is the ratio of
  // their gains at every sample.
  const uint8_t loud[] = {30}, quiet[] = {50};
  ComfortNoiseGenerator steady, changing;
  steady.Update(loud, 1);
  changing.Update(loud, 1);
  Generate(steady, 800);
  Generate(changing, 800);
  changing.Update(quiet, 1);
  auto ratios = [&](size_t count) {
    const std::vector<int16_t> a = Generate(steady, count), b = Generate(changing, count);
    std::vector<double> r;
    for (size_t i = 0; i < count; ++i) r.push_back(std::abs(a[i]) > 300 ? double(b[i]) / a[i] : NAN);
    return r;
  };
  // -30 to -50 dBov over 20 ms: from 1 down to 0.1, a little each sample, and then held.
  const std::vector<double> glide = ratios(400);
  double last = 1.0;
  for (size_t i = 0; i < glide.size(); ++i) {
    if (std::isnan(glide[i])) continue;
    const double expected = i < 160 ? 1.0 - 0.9 * (i + 1) / 160.0 : 0.1;
    EXPECT_NEAR(glide[i], expected, 0.02) << i;
    EXPECT_LE(glide[i], last + 0.02) << i;
    last = glide[i];
  }
  // Silence at once, then back to -30 dBov over 60 ms.
  changing.SetLevel(ComfortNoiseGenerator::kSilentDbov);
  for (double r : ratios(100)) EXPECT_TRUE(std::isnan(r) || r == 0.0);
  changing.FadeTo(-30.0, 480);
  const std::vector<double> fade = ratios(600);
  for (size_t i = 0; i < fade.size(); ++i) {
    if (!std::isnan(fade[i])) {
      EXPECT_NEAR(fade[i], std::min(1.0, (i + 1) / 480.0), 0.02) << i;
    }
  }
}

// Malformed payloads change nothing, and a model with fewer coefficients plays as the same
// model with zero coefficients written out, whatever bytes follow it. The same seed repeats
// its noise; another one does not.
TEST(ComfortNoiseGenerator, MalformedPayloadsChangeNothingAndAShorterModelZeroesTheStagesItLacks) {
  const uint8_t good[] = {40, 90, 140};
  ComfortNoiseGenerator reference(7), tested(7), other(8);
  for (ComfortNoiseGenerator* g : {&reference, &tested, &other}) g->Update(good, 3);
  const uint8_t reservedBit[] = {0x80 | 40}, coefficient255[] = {20, 130, 255}, valid[] = {20};
  EXPECT_FALSE(tested.Update(nullptr, 3));
  EXPECT_FALSE(tested.Update(valid, 0));
  EXPECT_FALSE(tested.Update(valid, -1));
  EXPECT_FALSE(tested.Update(reservedBit, 1));
  EXPECT_FALSE(tested.Update(coefficient255, 3));
  const std::vector<int16_t> played = Generate(reference, 800);
  EXPECT_EQ(Generate(tested, 800), played);
  EXPECT_EQ(tested.Order(), 2);
  EXPECT_NE(Generate(other, 800), played);

  const uint8_t shorter[] = {40, 200, 30}, padded[] = {40, 200, 127};
  tested.Update(shorter, 2);
  reference.Update(padded, 3);
  EXPECT_EQ(Generate(tested, 800), Generate(reference, 800));
}

}  // namespace
}  // namespace ve
