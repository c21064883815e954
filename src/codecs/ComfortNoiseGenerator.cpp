#include "codecs/ComfortNoiseGenerator.h"

#include <algorithm>
#include <cmath>

namespace ve {

namespace {

constexpr uint8_t kReservedLevelBit = 0x80;
constexpr uint8_t kInvalidCoefficient = 255;
constexpr uint8_t kZeroCoefficient = 127;

// The output RMS of a level in dBov; 0 for silence.
double GainOf(double levelDbov) {
  if (!(levelDbov > ComfortNoiseGenerator::kSilentDbov)) return 0.0;  // NaN is silence too
  return ComfortNoiseGenerator::kFullScaleRms * std::pow(10.0, std::min(levelDbov, 0.0) / 20.0);
}

int16_t ToSample(double value) {
  if (value >= 32767.0) return 32767;
  if (value <= -32768.0) return -32768;
  return static_cast<int16_t>(std::lround(value));
}

}  // namespace

void ComfortNoiseGenerator::Reset(uint32_t seed) {
  random = seed != 0 ? seed : 0x9E3779B9u;  // the generator's state must not be 0
  heard = false;
  gain = gainTarget = gainStep = 0.0;
  gainLeft = 0;
  order = targetOrder = 0;
  coefficientsLeft = 0;
  k.fill(0.0);
  kTarget.fill(0.0);
  kStep.fill(0.0);
  backward.fill(0.0);
  stateClear = true;
  excitationScale = 1.0;
}

bool ComfortNoiseGenerator::Update(const uint8_t* payload, int32_t length) {
  if (payload == nullptr || length < 1) return false;
  if ((payload[0] & kReservedLevelBit) != 0) return false;
  const int32_t count = std::min(length - 1, kMaxOrder);
  for (int32_t i = 0; i < count; ++i) {
    if (payload[1 + i] == kInvalidCoefficient) return false;
  }

  const int32_t samples = heard ? kSmoothingSamples : 0;
  std::array<double, kMaxOrder> wanted{};
  for (int32_t i = 0; i < count; ++i) {
    wanted[i] = (static_cast<int32_t>(payload[1 + i]) - kZeroCoefficient) / 128.0;
  }
  // Stages the new model lacks move to 0; until they get there the filter keeps them.
  targetOrder = count;
  order = std::max(order, count);
  for (int32_t i = 0; i < kMaxOrder; ++i) {
    kTarget[i] = wanted[i];
    if (samples == 0) {
      k[i] = wanted[i];
      kStep[i] = 0.0;
    } else {
      kStep[i] = (wanted[i] - k[i]) / samples;
    }
  }
  coefficientsLeft = samples;
  if (samples == 0) {
    std::fill(backward.begin() + targetOrder + 1, backward.end(), 0.0);
    order = targetOrder;
  }
  UpdateExcitationScale();
  MoveGain(GainOf(-static_cast<double>(payload[0])), samples);
  heard = true;
  return true;
}

void ComfortNoiseGenerator::FadeTo(double levelDbov, int32_t samples) {
  MoveGain(GainOf(levelDbov), std::max(samples, 0));
  heard = true;
}

void ComfortNoiseGenerator::MoveGain(double target, int32_t samples) {
  gainTarget = target;
  gainLeft = samples;
  if (samples == 0) {
    gain = target;
    gainStep = 0.0;
  } else {
    gainStep = (target - gain) / samples;
  }
}

void ComfortNoiseGenerator::UpdateExcitationScale() {
  double product = 1.0;
  for (int32_t i = 0; i < order; ++i) product *= 1.0 - k[i] * k[i];
  excitationScale = std::sqrt(product);
}

double ComfortNoiseGenerator::NextExcitation() {
  // Four 16-bit uniform draws from two steps of a xorshift generator; their sum, centred and
  // scaled to unit variance, is close to Gaussian.
  int32_t sum = 0;
  for (int32_t draw = 0; draw < 2; ++draw) {
    random ^= random << 13;
    random ^= random >> 17;
    random ^= random << 5;
    sum += static_cast<int32_t>(random & 0xFFFF) + static_cast<int32_t>(random >> 16);
  }
  // Each draw is uniform on 0..65535: mean 32767.5, variance (65536^2 - 1) / 12.
  constexpr double kMean = 4 * 32767.5;
  constexpr double kDeviation = 37837.22;  // sqrt(4 * (65536^2 - 1) / 12)
  return (sum - kMean) / kDeviation;
}

void ComfortNoiseGenerator::Generate(int16_t* out, int32_t count) {
  if (out == nullptr || count <= 0) return;
  for (int32_t n = 0; n < count; ++n) {
    if (gainLeft > 0) {
      gain = --gainLeft == 0 ? gainTarget : gain + gainStep;
    }
    if (coefficientsLeft > 0) {
      if (--coefficientsLeft == 0) {
        k = kTarget;
        // Stages dropped now start from rest if a later payload brings them back.
        std::fill(backward.begin() + targetOrder + 1, backward.end(), 0.0);
        order = targetOrder;
      } else {
        for (int32_t i = 0; i < order; ++i) k[i] += kStep[i];
      }
      UpdateExcitationScale();
    }
    // The noise source runs on through silence, so a level change never restarts it.
    const double excitation = NextExcitation() * gain * excitationScale;
    if (gain == 0.0 && gainLeft == 0) {
      // Silent for good: let the filter forget rather than ring down into denormals.
      if (!stateClear) {
        backward.fill(0.0);
        stateClear = true;
      }
      out[n] = 0;
      continue;
    }
    // All-pole lattice, from the highest stage down; backward[m] holds stage m's backward
    // error of the previous sample.
    double forward = excitation;
    for (int32_t m = order; m >= 1; --m) {
      forward -= k[m - 1] * backward[m - 1];
      backward[m] = backward[m - 1] + k[m - 1] * forward;
    }
    backward[0] = forward;
    stateClear = false;
    out[n] = ToSample(forward);
  }
}

}  // namespace ve
