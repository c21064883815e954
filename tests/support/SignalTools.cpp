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

std::vector<int16_t> FirFilter(const std::vector<int16_t>& signal, const double* taps, int count) {
  std::vector<int16_t> out(signal.size());
  for (size_t n = 0; n < signal.size(); ++n) {
    double sum = 0;
    for (int k = 0; k < count && k <= static_cast<int>(n); ++k) sum += taps[k] * signal[n - k];
    out[n] = static_cast<int16_t>(std::clamp(sum, -32768.0, 32767.0));
  }
  return out;
}

std::vector<int16_t> OnReferenceClock(const std::vector<int16_t>& recording, double startOffsetMs, int rate) {
  const long shift = std::lround(startOffsetMs * rate / 1000.0);
  if (shift >= 0) {
    std::vector<int16_t> shifted(static_cast<size_t>(shift), 0);
    shifted.insert(shifted.end(), recording.begin(), recording.end());
    return shifted;
  }
  const size_t skip = std::min(recording.size(), static_cast<size_t>(-shift));
  return std::vector<int16_t>(recording.begin() + static_cast<std::ptrdiff_t>(skip), recording.end());
}

int BestLag(const std::vector<int16_t>& reference, const std::vector<int16_t>& test, int maxLag) {
  int best = 0;
  double bestScore = -1e300;
  for (int lag = 0; lag <= maxLag; ++lag) {
    double cross = 0.0;
    double energy = 1e-9;
    for (size_t n = 0; n + lag < test.size() && n < reference.size(); ++n) {
      cross += static_cast<double>(reference[n]) * test[n + lag];
      energy += static_cast<double>(test[n + lag]) * test[n + lag];
    }
    const double score = cross / std::sqrt(energy);
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  return best;
}

double Snr(const std::vector<int16_t>& reference, const std::vector<int16_t>& test, int lag) {
  double signal = 0.0;
  double noise = 0.0;
  for (size_t n = 0; n + lag < test.size() && n < reference.size(); ++n) {
    const double r = reference[n];
    const double e = r - test[n + lag];
    signal += r * r;
    noise += e * e;
  }
  if (noise == 0.0) return 100.0;
  return 10.0 * std::log10(signal / noise);
}

double SegmentalSnr(const std::vector<int16_t>& reference, const std::vector<int16_t>& test, int lag,
                    double activeRms) {
  return SegmentalSnr(reference, test, std::vector<int>{lag}, reference.size() + 1, activeRms);
}

double SegmentalSnr(const std::vector<int16_t>& reference, const std::vector<int16_t>& test,
                    const std::vector<int>& lags, size_t block, double activeRms) {
  constexpr size_t kFrame = 80;
  double sum = 0.0;
  int frames = 0;
  for (size_t start = 0; start + kFrame <= reference.size(); start += kFrame) {
    const size_t index = std::min(start / block, lags.size() - 1);
    const size_t lag = static_cast<size_t>(std::max(0, lags[index]));
    if (start + kFrame + lag > test.size()) continue;
    double signal = 0.0;
    double noise = 0.0;
    for (size_t n = start; n < start + kFrame; ++n) {
      const double r = reference[n];
      const double e = r - test[n + lag];
      signal += r * r;
      noise += e * e;
    }
    if (std::sqrt(signal / kFrame) < activeRms) continue;
    const double snr = noise == 0.0 ? 35.0 : 10.0 * std::log10(signal / noise);
    sum += std::clamp(snr, -10.0, 35.0);
    ++frames;
  }
  return frames > 0 ? sum / frames : 0.0;
}

namespace {

// Whether reference[from, to) holds speech: an RMS of at least half the active level.
bool BlockActive(const std::vector<int16_t>& reference, size_t from, size_t to, double activeRms) {
  double energy = 0.0;
  for (size_t n = from; n < to; ++n) energy += double(reference[n]) * reference[n];
  return std::sqrt(energy / double(to - from)) >= activeRms / 2;
}

}  // namespace

std::vector<int> TrackLag(const std::vector<int16_t>& reference, const std::vector<int16_t>& test,
                          int startLag, size_t block, int maxShift, double activeRms) {
  std::vector<int> lags;
  int lag = startLag;
  for (size_t from = 0; from < reference.size(); from += block) {
    const size_t to = std::min(reference.size(), from + block);
    if (BlockActive(reference, from, to, activeRms)) {
      // Normalised cross-correlation of this block against the test signal around the last lag.
      double bestScore = -1e300;
      int best = lag;
      for (int candidate = std::max(0, lag - maxShift); candidate <= lag + maxShift; ++candidate) {
        if (to + static_cast<size_t>(candidate) > test.size()) break;
        double cross = 0.0, power = 1e-9;
        for (size_t n = from; n < to; ++n) {
          const double t = test[n + static_cast<size_t>(candidate)];
          cross += reference[n] * t;
          power += t * t;
        }
        const double score = cross / std::sqrt(power);
        if (score > bestScore) {
          bestScore = score;
          best = candidate;
        }
      }
      lag = best;
    }
    lags.push_back(lag);
  }
  return lags;
}

std::vector<int> ActiveBlockLags(const std::vector<int>& lags, const std::vector<int16_t>& reference, size_t testSize,
                                 size_t block, double activeRms) {
  std::vector<int> active;
  for (size_t b = 0; b < lags.size() && b * block < reference.size(); ++b) {
    const size_t from = b * block, to = std::min(reference.size(), from + block);
    if (lags[b] < 0 || to + static_cast<size_t>(lags[b]) > testSize) continue;
    if (BlockActive(reference, from, to, activeRms)) active.push_back(lags[b]);
  }
  return active;
}

}  // namespace ve::test
