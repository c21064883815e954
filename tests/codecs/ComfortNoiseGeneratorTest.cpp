#include "codecs/ComfortNoiseGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
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

// A 63-tap windowed-sinc low-pass at 1 kHz: the share of a signal's energy it passes is the
// share below 1 kHz.
std::vector<double> LowPassTaps() {
  std::vector<double> taps(63);
  for (int n = 0; n < 63; ++n) {
    const double x = n - 31;
    const double sinc = x == 0 ? 0.25 : std::sin(M_PI * 0.25 * x) / (M_PI * x);
    taps[n] = sinc * (0.54 - 0.46 * std::cos(2 * M_PI * n / 62));
  }
  return taps;
}

double ShareBelow1kHz(const std::vector<int16_t>& signal) {
  const std::vector<double> taps = LowPassTaps();
  const std::vector<int16_t> low = test::FirFilter(signal, taps.data(), static_cast<int>(taps.size()));
  double all = 0, below = 0;
  for (size_t i = 100; i < signal.size(); ++i) {
    all += double(signal[i]) * signal[i];
    below += double(low[i]) * low[i];
  }
  return below / all;
}

// A payload describing `signal` as a sender would: its level, then the reflection
// coefficients of its order-`order` predictor by the Levinson-Durbin recursion on its
// autocorrelation, with A(z) = 1 + a1 z^-1 + ... and k the last coefficient at each order.
std::vector<uint8_t> Describe(const std::vector<int16_t>& signal, int order) {
  std::vector<double> r(order + 1, 0.0);
  for (int lag = 0; lag <= order; ++lag) {
    for (size_t n = lag; n < signal.size(); ++n) r[lag] += double(signal[n]) * signal[n - lag];
  }
  std::vector<uint8_t> payload{static_cast<uint8_t>(std::lround(-LevelDbov(signal)))};
  std::vector<double> a(order + 1, 0.0), previous;
  a[0] = 1;
  double error = r[0];
  for (int m = 1; m <= order; ++m) {
    double acc = r[m];
    for (int i = 1; i < m; ++i) acc += a[i] * r[m - i];
    const double k = -acc / error;
    previous = a;
    for (int i = 1; i < m; ++i) a[i] = previous[i] + k * previous[m - i];
    a[m] = k;
    error *= 1 - k * k;
    payload.push_back(static_cast<uint8_t>(std::clamp(std::lround(k * 128) + 127, 0L, 254L)));
  }
  return payload;
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

TEST(ComfortNoiseGenerator, ReflectionCoefficientsGiveTheDescribedSpectrum) {
  // Noise low-passed at 1 kHz is described by an order-10 payload; the noise played from it
  // must put its energy below 1 kHz as the original does, and white noise must not.
  const std::vector<double> taps = LowPassTaps();
  const std::vector<int16_t> original =
      test::FirFilter(test::WhiteNoise(16000, 8000, 3), taps.data(), static_cast<int>(taps.size()));
  const std::vector<uint8_t> payload = Describe(original, 10);
  ASSERT_LT(payload[1], 127) << "low-pass noise has a negative first coefficient";

  ComfortNoiseGenerator shaped, white;
  ASSERT_TRUE(shaped.Update(payload.data(), static_cast<int32_t>(payload.size())));
  ASSERT_TRUE(white.Update(payload.data(), 1));
  const std::vector<int16_t> played = Generate(shaped, 16000);
  EXPECT_GT(ShareBelow1kHz(original), 0.9);
  EXPECT_NEAR(ShareBelow1kHz(played), ShareBelow1kHz(original), 0.06);
  EXPECT_NEAR(ShareBelow1kHz(Generate(white, 16000)), 0.25, 0.05);
  EXPECT_NEAR(LevelDbov(played, 400), LevelDbov(original), 1.5);
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

TEST(ComfortNoiseGenerator, MalformedPayloadsChangeNothing) {
  const uint8_t good[] = {40, 90, 140};
  ComfortNoiseGenerator reference(7), tested(7);
  reference.Update(good, 3);
  tested.Update(good, 3);
  const uint8_t reservedBit[] = {0x80 | 40}, coefficient255[] = {20, 130, 255}, valid[] = {20};
  EXPECT_FALSE(tested.Update(nullptr, 3));
  EXPECT_FALSE(tested.Update(valid, 0));
  EXPECT_FALSE(tested.Update(valid, -1));
  EXPECT_FALSE(tested.Update(reservedBit, 1));
  EXPECT_FALSE(tested.Update(coefficient255, 3));
  EXPECT_EQ(Generate(tested, 800), Generate(reference, 800));
  EXPECT_EQ(tested.Order(), 2);
  // The same seed repeats its noise; another one does not.
  ComfortNoiseGenerator other(8);
  other.Update(good, 3);
  EXPECT_NE(Generate(other, 800), Generate(reference, 800));
}

}  // namespace
}  // namespace ve
