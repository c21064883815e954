#include "codecs/g729/G729ComfortNoise.h"

#include <cmath>
#include <cstring>

#include "codecs/g729/G729Dsp.h"

namespace ve::g729 {

namespace {

// Excitation RMS of each SID level index: 2 * 10^(q / 20) for q = -12 dB, then -4..16 dB in
// 4 dB steps, then 18..66 dB in 2 dB steps.
constexpr double kSidLevels[32] = {
    0.502,   1.262,   2.000,   3.170,   5.024,    7.962,    12.619,   15.887,
    20.000,  25.179,  31.698,  39.905,  50.238,   63.246,   79.621,   100.237,
    126.191, 158.866, 200.000, 251.785, 316.979,  399.052,  502.377,  632.456,
    796.214, 1002.374, 1261.915, 1588.656, 2000.000, 2517.851, 3169.786, 3990.525};

constexpr int16_t kSeedStart = 11111;
// Share of the level carried by the Gaussian part (its energy: a quarter of the target).
constexpr double kGaussianShare = 0.5;
// Weight of the previous level when the level moves towards a new SID's.
constexpr double kLevelSmoothing = 0.875;

// The SID level nearest to `rms` on the dB scale.
double NearestLevel(double rms) {
  if (rms <= 0.0) return kSidLevels[0];
  int best = 0;
  double bestDistance = kFltMaxG729;
  for (int i = 0; i < 32; ++i) {
    const double distance = std::fabs(std::log(kSidLevels[i] / rms));
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return kSidLevels[best];
}

}  // namespace

void G729ComfortNoise::Reset() {
  sidLevel = kSidLevels[0];
  level = kSidLevels[0];
  std::memcpy(lsp, kLspInit, sizeof(lsp));
  seed = kSeedStart;
}

void G729ComfortNoise::RestartSequence() { seed = kSeedStart; }

void G729ComfortNoise::Sid(int levelIndex, const double* sidLsp, bool afterSpeech) {
  sidLevel = kSidLevels[levelIndex & 31];
  std::memcpy(lsp, sidLsp, sizeof(lsp));
  level = afterSpeech ? sidLevel : kLevelSmoothing * level + (1.0 - kLevelSmoothing) * sidLevel;
}

void G729ComfortNoise::NoSid(bool afterSpeech, double speechEnergy, const double* speechLsp) {
  if (afterSpeech) {
    sidLevel = NearestLevel(std::sqrt(speechEnergy / kLFrame));
    level = sidLevel;
    std::memcpy(lsp, speechLsp, sizeof(lsp));
  } else {
    level = kLevelSmoothing * level + (1.0 - kLevelSmoothing) * sidLevel;
  }
}

void G729ComfortNoise::Excitation(double* exc) {
  for (int sub = 0; sub < 2; ++sub) {
    double* e = exc + sub * kLSubfr;

    // Delay, fraction, pulse positions and signs of this subframe from two draws.
    int r = Random16(seed);
    int frac = (r & 3) - 1;
    if (frac == 2) frac = 0;
    r >>= 2;
    const int t0 = (r & 0x3F) + 40;
    r >>= 6;
    int pos[4];
    double sign[4];
    pos[0] = (r & 7) * 5;
    r >>= 3;
    sign[0] = (r & 1) ? 1.0 : -1.0;
    r >>= 1;
    pos[1] = (r & 7) * 5 + 1;
    r >>= 3;
    sign[1] = (r & 1) ? 1.0 : -1.0;
    r = Random16(seed);
    pos[2] = (r & 7) * 5 + 2;
    r >>= 3;
    sign[2] = (r & 1) ? 1.0 : -1.0;
    r >>= 1;
    pos[3] = (r & 1) + 3 + ((r >> 1) & 7) * 5;
    r >>= 4;
    sign[3] = (r & 1) ? 1.0 : -1.0;
    const double gainPitch = (Random16(seed) & 0x1FFF) / 16384.0;

    // Gaussian noise (sums of twelve uniform draws) scaled to its share of the target.
    double noise[kLSubfr];
    for (double& n : noise) {
      int sum = 0;
      for (int k = 0; k < 12; ++k) sum += Random16(seed);
      n = sum;
    }
    const double noiseEnergy = Dot(noise, noise, kLSubfr);
    const double scale = noiseEnergy > 0.0 ? kGaussianShare * level * std::sqrt(kLSubfr / noiseEnergy) : 0.0;
    for (double& n : noise) n *= scale;

    PredLt3(e, t0, frac, kLSubfr);
    for (int i = 0; i < kLSubfr; ++i) e[i] = gainPitch * e[i] + noise[i];

    // Pulses of amplitude g at the four positions bring the energy to the target:
    // 4 g^2 + 2 b g + (energy - target) = 0 with b the excitation's signed sum at the pulses.
    // When no amplitude reaches the target (the adaptive part alone is too strong), the
    // adaptive part is dropped.
    const double target = level * level * kLSubfr;
    auto pulseSum = [&] {
      double b = 0.0;
      for (int j = 0; j < 4; ++j) b += sign[j] * e[pos[j]];
      return b;
    };
    double b = pulseSum();
    double delta = b * b - 4.0 * (Dot(e, e, kLSubfr) - target);
    if (delta < 0.0) {
      std::memcpy(e, noise, sizeof(noise));
      b = pulseSum();
      delta = b * b - 4.0 * (noiseEnergy * scale * scale - target);
      if (delta < 0.0) delta = 0.0;
    }
    const double root = std::sqrt(delta);
    const double x1 = (root - b) * 0.25;
    const double x2 = -(root + b) * 0.25;
    const double g = std::fabs(x1) < std::fabs(x2) ? x1 : x2;  // the smaller pulses
    for (int j = 0; j < 4; ++j) e[pos[j]] += g * sign[j];
  }
}

}  // namespace ve::g729
