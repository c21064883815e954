#include "audio/TimeScaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ve {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Stretches of 5 ms are judged quiet or not one by one: a short loud sound in a block
// otherwise quiet keeps it from counting as quiet.
constexpr int32_t kQuietStretch = 40;
// A lag is taken when its correlation is within this of the best lag's (the pitch period,
// found anywhere in the block's range); the longest such lag within the amount asked is
// taken: two pitch periods move the delay twice as far for one seam.
constexpr double kMultipleTolerance = 0.05;

// Normalised cross-correlation of two stretches of `length` samples; 0 when either is silent.
double Similarity(const int16_t* a, const int16_t* b, int32_t length) {
  int64_t ab = 0;
  int64_t aa = 0;
  int64_t bb = 0;
  for (int32_t n = 0; n < length; ++n) {
    ab += static_cast<int32_t>(a[n]) * b[n];
    aa += static_cast<int32_t>(a[n]) * a[n];
    bb += static_cast<int32_t>(b[n]) * b[n];
  }
  if (aa == 0 || bb == 0) return 0.0;
  return static_cast<double>(ab) / std::sqrt(static_cast<double>(aa) * static_cast<double>(bb));
}

// Writes the raised-cosine cross-fade from `from` to `to` over `length` samples.
void CrossFade(const int16_t* from, const int16_t* to, int32_t length, int16_t* out) {
  for (int32_t n = 0; n < length; ++n) {
    const double in = 0.5 - 0.5 * std::cos(kPi * (n + 0.5) / length);
    const double value = from[n] + in * (to[n] - from[n]);
    out[n] = static_cast<int16_t>(std::lround(value));
  }
}

}  // namespace

TimeScaler::TimeScaler(int32_t quietRms) : quietRms(std::max<int32_t>(quietRms, 0)) {}

int32_t TimeScaler::Compress(const int16_t* in, int32_t count, int16_t* out, int32_t maxRemove) {
  if (count < 0 || (count > 0 && (in == nullptr || out == nullptr))) return -1;
  if (count == 0) return 0;
  const int32_t maxLag = std::min({maxRemove, kMaxShift, count - kMinOverlap});
  const int32_t lag = ChooseLag(Direction::kCompress, in, count, maxLag);
  if (lag == 0) {
    std::memcpy(out, in, sizeof(int16_t) * count);
  } else {
    const int32_t overlap = Overlap(Direction::kCompress, count, lag);
    CrossFade(in, in + lag, overlap, out);
    std::memcpy(out + overlap, in + overlap + lag, sizeof(int16_t) * (count - lag - overlap));
  }
  NotePlayed(out, count - lag);
  return count - lag;
}

int32_t TimeScaler::Expand(const int16_t* in, int32_t count, int16_t* out, int32_t capacity,
                           int32_t maxAdd) {
  if (count < 0 || capacity < count || (count > 0 && (in == nullptr || out == nullptr))) return -1;
  if (count == 0) return 0;
  const int32_t maxLag = count < kMinOverlap ? 0 : std::min({maxAdd, kMaxShift, capacity - count});
  const int32_t lag = ChooseLag(Direction::kExpand, in, count, maxLag);
  if (lag == 0) {
    std::memcpy(out, in, sizeof(int16_t) * count);
  } else {
    // y[n - lag] for n < lag lies in the history, which work holds just before the block.
    const int16_t* replay = work.data() + kHistory - lag;
    const int32_t overlap = Overlap(Direction::kExpand, count, lag);
    CrossFade(in, replay, overlap, out);
    std::memcpy(out + overlap, replay + overlap, sizeof(int16_t) * (lag - overlap));
    std::memcpy(out + lag, in, sizeof(int16_t) * count);
  }
  NotePlayed(out, count + lag);
  return count + lag;
}

bool TimeScaler::IsQuiet(const int16_t* samples, int32_t count) const {
  const int64_t limit = static_cast<int64_t>(quietRms) * quietRms;
  for (int32_t start = 0; start < count; start += kQuietStretch) {
    const int32_t length = std::min(kQuietStretch, count - start);
    int64_t energy = 0;
    for (int32_t n = start; n < start + length; ++n) energy += static_cast<int32_t>(samples[n]) * samples[n];
    if (energy > limit * length) return false;
  }
  return true;
}

void TimeScaler::NotePlayed(const int16_t* samples, int32_t count) {
  if (samples == nullptr || count <= 0) return;
  if (count >= kHistory) {
    std::memcpy(history.data(), samples + count - kHistory, sizeof history);
    return;
  }
  std::memmove(history.data(), history.data() + count, sizeof(int16_t) * (kHistory - count));
  std::memcpy(history.data() + kHistory - count, samples, sizeof(int16_t) * count);
}

void TimeScaler::Reset() { history.fill(0); }

int32_t TimeScaler::Overlap(Direction direction, int32_t count, int32_t lag) {
  return direction == Direction::kCompress ? std::min(lag, count - lag) : std::min(lag, count);
}

double TimeScaler::Match(Direction direction, int32_t count, int32_t lag) const {
  // The window runs from kLookBack samples before the seam to the end of the cross-fade; the
  // stretch it is compared with is the one that will be heard in its place.
  const int16_t* seam = work.data() + kHistory;
  const int16_t* heard = seam - kLookBack;
  const int16_t* other = direction == Direction::kCompress ? heard + lag : heard - lag;
  return Similarity(heard, other, kLookBack + Overlap(direction, count, lag));
}

int32_t TimeScaler::ChooseLag(Direction direction, const int16_t* in, int32_t count, int32_t maxLag) {
  if (maxLag < kMinShift) return 0;
  std::memcpy(work.data(), history.data(), sizeof history);
  std::memcpy(work.data() + kHistory, in,
              sizeof(int16_t) * std::min<int32_t>(count, static_cast<int32_t>(work.size()) - kHistory));

  // Quiet: everything the largest change would touch (for Expand the replayed history too).
  const int32_t overlap = Overlap(direction, count, maxLag);
  const bool quiet = direction == Direction::kCompress
                         ? IsQuiet(in, maxLag + overlap)
                         : IsQuiet(work.data() + kHistory - maxLag, maxLag + overlap);
  if (quiet) return maxLag;

  // Correlation at every lag the block allows, not only up to maxLag: when the pitch period
  // is longer than the amount asked, the lags within it can still match fairly well (a
  // formant's ringing repeats within a period), and only the period's own match shows that
  // they are the worse choice. One lag more than the top of the range tells whether a peak
  // there is one (Compress needs a sample of cross-fade left for it).
  const int32_t first = kMinShift - 1;
  const int32_t last = direction == Direction::kCompress ? std::min(kMaxShift + 1, count - 1) : kMaxShift + 1;
  for (int32_t lag = first; lag <= last; ++lag) match[lag - first] = Match(direction, count, lag);
  auto isPeak = [&](int32_t lag) {
    const double c = match[lag - first];
    return c > match[lag - first - 1] && c >= match[lag - first + 1];
  };

  double best = -1.0;
  for (int32_t lag = kMinShift; lag < last; ++lag) {
    if (isPeak(lag)) best = std::max(best, match[lag - first]);
  }
  const double good = std::max(kMatchThreshold, best - kMultipleTolerance);
  for (int32_t lag = std::min(maxLag, last - 1); lag >= kMinShift; --lag) {
    if (match[lag - first] >= good && isPeak(lag)) return lag;
  }
  return 0;
}

}  // namespace ve
