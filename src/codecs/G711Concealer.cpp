#include "codecs/G711Concealer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ve {

namespace {

constexpr int32_t kCandidates = G711Concealer::kMaxPitch - G711Concealer::kMinPitch;  // 80
// Energy below which a lagged segment counts as this quiet when normalising its correlation,
// so that near-silence does not make a meaningless period win by a division by almost zero.
constexpr float kMinEnergy = 250.0f;
constexpr int32_t kLongLoss = 1 << 30;  // erased stops counting here; only its first 60 ms matter

int16_t ToSample(float value) {
  value = value >= 0.0f ? value + 0.5f : value - 0.5f;
  if (value > 32767.0f) return 32767;
  if (value < -32768.0f) return -32768;
  return static_cast<int16_t>(value);
}

// Correlation of the `count` samples at `lagged` (every `step`-th) with those at `recent`,
// divided by the square root of the lagged samples' energy.
float NormalisedCorrelation(const float* lagged, const float* recent, int32_t count, int32_t step) {
  float energy = 0.0f;
  float correlation = 0.0f;
  for (int32_t i = 0; i < count; i += step) {
    energy += lagged[i] * lagged[i];
    correlation += lagged[i] * recent[i];
  }
  return correlation / std::sqrt(std::max(energy, kMinEnergy));
}

}  // namespace

void G711Concealer::Reset() {
  history.fill(0);
  erased = 0;
  blendLeft = 0;
  periods = 0;
}

int32_t G711Concealer::FindPitch() const {
  // Candidate j compares the last kCorrelationSamples with those kMaxPitch - j earlier. A
  // coarse pass on every other sample and every other candidate, then a fine pass on the
  // neighbours of the best; the coarse pass prefers the shorter period on a tie, so a steady
  // tone is repeated by its own period rather than a multiple of it.
  const float* recent = buffer.data() + kHistorySamples - kCorrelationSamples;
  const float* earliest = recent - kMaxPitch;
  int32_t best = 0;
  float bestScore = NormalisedCorrelation(earliest, recent, kCorrelationSamples, 2);
  for (int32_t j = 2; j <= kCandidates; j += 2) {
    float score = NormalisedCorrelation(earliest + j, recent, kCorrelationSamples, 2);
    if (score >= bestScore) {
      bestScore = score;
      best = j;
    }
  }
  int32_t first = std::max(best - 1, 0);
  int32_t last = std::min(best + 1, kCandidates);
  best = first;
  bestScore = NormalisedCorrelation(earliest + first, recent, kCorrelationSamples, 1);
  for (int32_t j = first + 1; j <= last; ++j) {
    float score = NormalisedCorrelation(earliest + j, recent, kCorrelationSamples, 1);
    if (score > bestScore) {
      bestScore = score;
      best = j;
    }
  }
  return kMaxPitch - best;
}

void G711Concealer::BlendTail() {
  const int32_t start = kHistorySamples - periods * pitch;
  float* tail = buffer.data() + kHistorySamples - overlap;
  const float* beforeStart = buffer.data() + start - overlap;
  for (int32_t i = 0; i < overlap; ++i) {
    float w = static_cast<float>(i + 1) / static_cast<float>(overlap);
    tail[i] = (1.0f - w) * originalTail[i] + w * beforeStart[i];
  }
}

void G711Concealer::StartLoss() {
  for (int32_t i = 0; i < kHistorySamples; ++i) buffer[i] = history[i];
  pitch = FindPitch();
  overlap = pitch / 4;
  std::memcpy(originalTail.data(), buffer.data() + kHistorySamples - overlap, sizeof(float) * overlap);
  periods = 1;
  offset = 0;
  fadePosition = overlap;
  BlendTail();
  // The buffer's last sample is now the one before its start. The last played sample may
  // differ from it; that difference is faded out over the first kOnsetSamples concealed
  // samples, which turns a step into a 1 ms slope. A longer fade costs accuracy: the period
  // read from the buffer predicts the lost samples better than an offset carried along.
  onsetStep = static_cast<float>(history[kHistorySamples - 1]) - buffer[kHistorySamples - 1];
}

void G711Concealer::AddPeriod() {
  const int32_t savedOffset = offset;
  for (int32_t i = 0; i < overlap; ++i) fadeOut[i] = NextBufferSample();
  // Same phase, now counted in the longer buffer from its oldest period.
  offset = savedOffset % pitch;
  ++periods;
  BlendTail();
  fadePosition = 0;
}

float G711Concealer::NextBufferSample() {
  const int32_t length = periods * pitch;
  float value = buffer[kHistorySamples - length + offset];
  if (++offset == length) offset = 0;
  return value;
}

float G711Concealer::LossGain(int32_t t) {
  if (t < kFrameSamples) return 1.0f;
  if (t >= kSilentAfterSamples) return 0.0f;
  return 1.0f - static_cast<float>(t - kFrameSamples) /
                    static_cast<float>(kSilentAfterSamples - kFrameSamples);
}

float G711Concealer::Synthesize(int32_t t) {
  float value = NextBufferSample();
  if (fadePosition < overlap) {
    float w = static_cast<float>(fadePosition + 1) / static_cast<float>(overlap);
    value = (1.0f - w) * fadeOut[fadePosition] + w * value;
    ++fadePosition;
  }
  if (t < kOnsetSamples) {
    value += onsetStep * static_cast<float>(kOnsetSamples - t) / static_cast<float>(kOnsetSamples);
  }
  return value;
}

void G711Concealer::Conceal(int16_t* out, int32_t count) {
  if (out == nullptr || count <= 0) return;
  blendLeft = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (erased == 0) {
      StartLoss();
    } else if (periods < kMaxPeriods && erased == periods * kFrameSamples) {
      AddPeriod();
    }
    out[i] = ToSample(Synthesize(erased) * LossGain(erased));
    if (erased < kLongLoss) ++erased;
  }
  Remember(out, count);
}

void G711Concealer::Good(int16_t* samples, int32_t count) {
  if (samples == nullptr || count <= 0) return;
  if (erased > 0) {
    const int32_t frames = (erased + kFrameSamples - 1) / kFrameSamples;
    blendLength = std::min(overlap + (frames - 1) * kRecoveryStepSamples, kFrameSamples);
    blendLeft = blendLength;
    blendGain = LossGain(erased);
    synthesisTime = erased;
    erased = 0;
  }
  for (int32_t i = 0; i < count && blendLeft > 0; ++i, --blendLeft) {
    float w = static_cast<float>(blendLength - blendLeft + 1) / static_cast<float>(blendLength);
    float synthetic = Synthesize(synthesisTime++) * blendGain;
    samples[i] = ToSample((1.0f - w) * synthetic + w * static_cast<float>(samples[i]));
  }
  Remember(samples, count);
}

void G711Concealer::Remember(const int16_t* samples, int32_t count) {
  if (count >= kHistorySamples) {
    std::memcpy(history.data(), samples + count - kHistorySamples, sizeof(int16_t) * kHistorySamples);
    return;
  }
  std::memmove(history.data(), history.data() + count, sizeof(int16_t) * (kHistorySamples - count));
  std::memcpy(history.data() + kHistorySamples - count, samples, sizeof(int16_t) * count);
}

}  // namespace ve
