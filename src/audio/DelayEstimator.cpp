#include "audio/DelayEstimator.h"

#include <algorithm>

namespace ve {

DelayEstimator::DelayEstimator() { Reset(); }

void DelayEstimator::Reset() {
  std::fill(relative, relative + kWindow, 0);
  filled = 0;
  next = 0;
  target = kMinTargetMs;
  fallCredit = 0;
  lastLateness = 0;
  haveLast = false;
}

void DelayEstimator::Arrival(uint32_t arrivalMs, uint32_t mediaMs, bool afterSilence) {
  const uint32_t sinceLast = haveLast ? arrivalMs - lastArrivalMs : 0;
  haveLast = true;
  lastArrivalMs = arrivalMs;
  if (afterSilence) return;
  relative[next] = static_cast<int32_t>(arrivalMs - mediaMs);
  next = (next + 1) % kWindow;
  if (filled < kWindow) ++filled;

  const int32_t wanted = std::clamp(QuantileLateness() + kMarginMs, kMinTargetMs, kMaxTargetMs);
  {
    int32_t quickest = relative[next == 0 ? kWindow - 1 : next - 1];
    for (int32_t i = 0; i < filled; ++i) quickest = std::min(quickest, relative[i]);
    lastLateness = relative[next == 0 ? kWindow - 1 : next - 1] - quickest;
  }
  if (wanted >= target) {
    target = wanted;
    fallCredit = 0;
  } else {
    // Falls slowly: kFallMsPerSecond per second of arrivals, counted in thousandths of a ms.
    fallCredit += static_cast<int64_t>(sinceLast) * kFallMsPerSecond;
    const auto fall = static_cast<int32_t>(fallCredit / 1000);
    fallCredit %= 1000;
    target = std::max(wanted, target - fall);
  }
}

int32_t DelayEstimator::QuantileLateness() const {
  if (filled == 0) return 0;
  // Differences against the first value keep the arithmetic away from the wrap.
  int32_t sorted[kWindow];
  const int32_t reference = relative[0];
  for (int32_t i = 0; i < filled; ++i) sorted[i] = relative[i] - reference;
  const int32_t quickest = *std::min_element(sorted, sorted + filled);
  const auto rank = static_cast<int32_t>(kQuantile * (filled - 1) + 0.5);
  std::nth_element(sorted, sorted + rank, sorted + filled);
  return std::clamp(sorted[rank] - quickest, 0, kMaxTargetMs);
}

}  // namespace ve
