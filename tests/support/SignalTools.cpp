#include "support/SignalTools.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace ve::test {

namespace {

constexpr double kRate = 8000.0;
constexpr double kTwoPi = 6.283185307179586;

int16_t Saturate(double v) {
  v = std::round(v);
  return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

}  // namespace

std::vector<int16_t> WhiteNoise(size_t count, double amplitude, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(-amplitude, amplitude);
  std::vector<int16_t> out(count);
  for (auto& v : out) v = Saturate(uniform(random));
  return out;
}

std::vector<int16_t> Tone(size_t count, double frequencyHz, double amplitude) {
  std::vector<int16_t> out(count);
  for (size_t n = 0; n < count; ++n) out[n] = Saturate(amplitude * std::sin(kTwoPi * frequencyHz * n / kRate));
  return out;
}

std::vector<int16_t> Sweep(size_t count, double fromHz, double toHz, double amplitude) {
  std::vector<int16_t> out(count);
  const double duration = count / kRate;
  const double k = std::log(toHz / fromHz) / duration;
  for (size_t n = 0; n < count; ++n) {
    const double t = n / kRate;
    const double phase = kTwoPi * fromHz * (std::exp(k * t) - 1.0) / k;
    out[n] = Saturate(amplitude * std::sin(phase));
  }
  return out;
}

std::vector<int16_t> Amplify(const std::vector<int16_t>& signal, double gain) {
  std::vector<int16_t> out(signal.size());
  for (size_t n = 0; n < signal.size(); ++n) out[n] = Saturate(signal[n] * gain);
  return out;
}

}  // namespace ve::test
