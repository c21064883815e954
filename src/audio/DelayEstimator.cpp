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
  inSpike = false;
  spikeStartMs = 0;
  spikePackets = 0;
}

void DelayEstimator::Arrival(uint32_t arrivalMs, uint32_t mediaMs, bool afterSilence) {
  const uint32_t sinceLast = haveLast ? arrivalMs - lastArrivalMs : 0;
  haveLast = true;
  lastArrivalMs = arrivalMs;
  const auto relativeNow = static_cast<int32_t>(arrivalMs - mediaMs);
  int32_t quickest = relativeNow;
  for (int32_t i = 0; i < filled; ++i) quickest = std::min(quickest, relative[i]);
  const int32_t lateness = relativeNow - quickest;
  // A stall and the burst that ends it: a packet far later than the target after a long
  // silence of the network, and the far late ones that come within kSpikeBurstMs of it, in
  // any order (the queue of the stall draining at once). Such a spike costs one rebuffer; it is kept out of
  // the quantile (filed at the target's lateness) so that the buffer does not stay as deep as
  // the spike. A lasting change of the path's delay still raises the target: the packets after
  // the burst are as late, at their usual spacing.
  const bool farLate = lateness > target + kSpikeMs;
  if (farLate && sinceLast >= static_cast<uint32_t>(kSpikeMs)) {
    inSpike = true;
    spikeStartMs = arrivalMs;
  } else if (arrivalMs - spikeStartMs > static_cast<uint32_t>(kSpikeBurstMs)) {
    inSpike = false;
  }
  const bool spikePacket = inSpike && farLate;
  if (afterSilence) return;
  lastLateness = lateness;
  if (spikePacket) ++spikePackets;
  relative[next] = spikePacket ? quickest + target : relativeNow;
  next = (next + 1) % kWindow;
  if (filled < kWindow) ++filled;

  const int32_t wanted = std::clamp(QuantileLateness() + kMarginMs, kMinTargetMs, kMaxTargetMs);
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
