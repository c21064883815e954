#include "audio/DelayEstimator.h"

#include "AudioTestSupport.h"

#include <random>

namespace ve {
namespace {

// Packets every 20 ms; each arrives `extra` ms after its media time plus a base delay.
template <typename Extra>
void Feed(DelayEstimator& estimator, int count, uint32_t* media, Extra extra) {
  for (int i = 0; i < count; ++i) {
    *media += 20;
    estimator.Arrival(5000 + *media + static_cast<uint32_t>(extra(i)), *media, false);
  }
}

TEST(DelayEstimator, TargetFollowsTheJitterRisesAtOnceAndFallsSlowly) {
  DelayEstimator estimator;
  uint32_t media = 0;
  Feed(estimator, 200, &media, [](int) { return 0; });
  EXPECT_EQ(estimator.TargetMs(), DelayEstimator::kMinTargetMs) << "a clean network needs little";

  std::mt19937 random(3);
  std::uniform_int_distribution<int> jitter(0, 60);
  Feed(estimator, 300, &media, [&](int) { return jitter(random); });
  EXPECT_NEAR(estimator.TargetMs(), 64, 6) << "the 97 % lateness of uniform 0..60 ms, plus the margin";
  const int32_t beforeSpike = estimator.TargetMs();

  // A 300 ms stall whose packets then come all at once: one rebuffer, not a deep buffer.
  Feed(estimator, 15, &media, [](int i) { return 300 - 20 * i; });
  EXPECT_EQ(estimator.SpikePackets(), 8) << "the burst's packets far later than the target";
  EXPECT_LE(estimator.TargetMs(), beforeSpike + 10) << "the rest of the burst is within the usual jitter";

  // A path that stays 200 ms slower raises the target at once...
  Feed(estimator, 100, &media, [](int) { return 200; });
  EXPECT_GE(estimator.TargetMs(), 200);
  // ...and once the network is quick again it falls, but slowly: 10 ms per second once the slow
  // packets have left the window.
  Feed(estimator, 300, &media, [](int) { return 0; });  // 6 s
  const int32_t afterSixSeconds = estimator.TargetMs();
  EXPECT_GT(afterSixSeconds, 180);
  Feed(estimator, 100, &media, [](int) { return 0; });  // 2 s more
  EXPECT_NEAR(estimator.TargetMs(), afterSixSeconds - 20, 3);
}

// The first packet of a talk spurt says nothing about jitter; a sender clock that drifts makes
// no packet look late for long.
TEST(DelayEstimator, PausesAndClockSkewDoNotRaiseTheTarget) {
  DelayEstimator estimator;
  uint32_t media = 0;
  Feed(estimator, 50, &media, [](int) { return 0; });
  estimator.Arrival(5000 + media + 20 + 400, media + 20, true);
  media += 20;
  EXPECT_EQ(estimator.TargetMs(), DelayEstimator::kMinTargetMs);
  // 0.5 % skew: 0.1 ms later each packet.
  Feed(estimator, 2000, &media, [](int i) { return i / 10; });
  EXPECT_LT(estimator.TargetMs(), 40);
}

// A packet more than kSpikeMs later than the target, after at least kSpikeMs without arrivals,
// starts a spike; at the limits it does not.
TEST(DelayEstimator, ASpikeStartsOnlyBeyondItsLimits) {
  const struct {
    int lateness, gap, spike;
  } cases[] = {{90, 100, 0}, {91, 100, 1}, {91, 79, 0}, {91, 80, 1}};
  for (const auto& c : cases) {
    DelayEstimator estimator;
    uint32_t media = 0;
    Feed(estimator, 50, &media, [](int) { return 0; });
    ASSERT_EQ(estimator.TargetMs() + DelayEstimator::kSpikeMs, 90);
    const uint32_t arrival = 5000 + media + static_cast<uint32_t>(c.gap);
    estimator.Arrival(arrival, arrival - 5000 - static_cast<uint32_t>(c.lateness), false);
    EXPECT_EQ(estimator.SpikePackets(), c.spike) << c.lateness << " ms late after " << c.gap << " ms";
  }
}

}  // namespace
}  // namespace ve
