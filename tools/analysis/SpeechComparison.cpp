#include "analysis/SpeechComparison.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/EqualizerSets.h"

namespace ve::analysis {

namespace {

constexpr int kRate = 8000;
constexpr size_t kFrame = 160;        // 20 ms
constexpr double kActiveRms = 300.0;  // a sent frame with speech in it
// A sender's frame is a pause when it and the two frames on either side stay within -4..4.
constexpr size_t kPauseGuardFrames = 2;
constexpr int kSilentSample = 4;
// The delay is followed in blocks of half a second, each within 500 ms of the one before: a
// playout buffer rebuffers when a loaded machine stalls a process for a few hundred ms, which
// shifts the rest of the call until time-scaling pays it back; the speech after the shift
// still has to match the sender's.
constexpr size_t kTrackBlock = kRate / 2;
constexpr int kTrackShift = kRate / 2;
// The first alignment uses the first 3 s of speech: enough to align, and cheap enough for
// sanitizer builds.
constexpr size_t kAlignSamples = 3 * kRate;

double FrameRms(const std::vector<int16_t>& x, size_t from) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = from; i < from + kFrame && i < x.size(); ++i, ++n) sum += double(x[i]) * x[i];
  return n ? std::sqrt(sum / double(n)) : 0.0;
}

bool QuietAround(const std::vector<int16_t>& x, size_t from) {
  const size_t begin = from >= kPauseGuardFrames * kFrame ? from - kPauseGuardFrames * kFrame : 0;
  const size_t end = std::min(x.size(), from + (kPauseGuardFrames + 1) * kFrame);
  for (size_t i = begin; i < end; ++i) {
    if (std::abs(x[i]) > kSilentSample) return false;
  }
  return true;
}

double Correlation(const std::vector<int16_t>& sent, const std::vector<int16_t>& heard, size_t lag) {
  double sxy = 0, sxx = 0, syy = 0;
  for (size_t i = 0; i < sent.size() && i + lag < heard.size(); ++i) {
    sxy += double(sent[i]) * heard[i + lag];
    sxx += double(sent[i]) * sent[i];
    syy += double(heard[i + lag]) * heard[i + lag];
  }
  return (sxx > 0 && syy > 0) ? sxy / std::sqrt(sxx * syy) : 0.0;
}

}  // namespace

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

std::vector<int16_t> SendEqualized(const std::vector<int16_t>& speech) {
  double taps[kEqualizerTaps];
  ExpandEqualizerSet(kSendSetB, taps);
  return FirFilter(speech, taps, kEqualizerTaps);
}

SpeechArrival CompareSpeech(const std::vector<int16_t>& sent, const std::vector<int16_t>& heard, int maxDelayMs) {
  SpeechArrival a;
  if (sent.empty() || heard.size() < 2) return a;
  const std::vector<int16_t> head(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(
                                                                   std::min(sent.size(), kAlignSamples)));
  const int lag = BestLag(head, heard, std::min(maxDelayMs * kRate / 1000, static_cast<int>(heard.size()) - 1));
  a.delayMs = lag * 1000.0 / kRate;
  a.correlation = Correlation(sent, heard, static_cast<size_t>(lag));
  const std::vector<int> lags = TrackLag(sent, heard, lag, kTrackBlock, kTrackShift, kActiveRms);
  for (size_t i = 1; i < lags.size(); ++i) a.delayChanges += lags[i] != lags[i - 1] ? 1 : 0;
  std::vector<int> spoken = ActiveBlockLags(lags, sent, heard.size(), kTrackBlock, kActiveRms);
  if (!spoken.empty()) {
    std::sort(spoken.begin(), spoken.end());
    a.medianDelayMs = spoken[spoken.size() / 2] * 1000.0 / kRate;
    a.maxDelayMs = spoken.back() * 1000.0 / kRate;
  }
  a.segmentalSnr = SegmentalSnr(sent, heard, lags, kTrackBlock, kActiveRms);
  double pauseEnergy = 0;
  for (size_t from = 0; from + kFrame <= sent.size(); from += kFrame) {
    const size_t at = from + static_cast<size_t>(lags[std::min(from / kTrackBlock, lags.size() - 1)]);
    const bool arrived = at + kFrame <= heard.size();
    if (arrived && QuietAround(sent, from)) {
      const double rms = FrameRms(heard, at);
      pauseEnergy += rms * rms;
      ++a.pauseFrames;
    }
    if (FrameRms(sent, from) < kActiveRms) continue;
    ++a.speechFrames;
    if (!arrived || FrameRms(heard, at) < kActiveRms / 4) ++a.missingFrames;
  }
  a.missingShare = a.speechFrames ? double(a.missingFrames) / double(a.speechFrames) : 1.0;
  const double pauseRms = a.pauseFrames > 0 ? std::sqrt(pauseEnergy / a.pauseFrames) : 0.0;
  a.pauseLevelDbfs = pauseRms > 0 ? 20.0 * std::log10(pauseRms / 32768.0) : -120.0;
  return a;
}

}  // namespace ve::analysis
