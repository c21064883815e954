#include "audio/SsrcSelectorFilter.h"

#include <gtest/gtest.h>

#include <vector>

#include "framework/AudioSample.h"
#include "rtp/RtpPacket.h"
#include "support/ImpairmentPlayout.h"
#include "support/ImpairmentScript.h"

namespace ve {
namespace {

using test::MakeDecodedSample;

constexpr uint32_t kFrameUnits = 160;

// Pushes the n-th 20 ms packet of source `ssrc` into the selector as the decoder would.
int32_t Push(SsrcSelectorFilter& selector, uint32_t ssrc, int n, uint8_t payloadType = test::kPayloadPcmu) {
  AudioSample* sample = MakeDecodedSample(ssrc, static_cast<uint16_t>(n), 1000 + n * kFrameUnits, 20, payloadType);
  int32_t result = selector.TakeNextAudioSample(sample, nullptr);
  sample->Release();
  return result;
}

struct Pulled {
  uint32_t ssrc = 0;
  int frame = -1;  // -1: a gap marker
  int32_t silenceMs = 0;
};

// One pull as the player makes it.
Pulled Pull(SsrcSelectorFilter& selector) {
  AudioSample* out = nullptr;
  EXPECT_EQ(selector.GiveNextAudioSample(&out, nullptr), 0);
  Pulled pulled;
  if (out == nullptr) return pulled;
  if (const RtpPacket* packet = RtpPacketOf(out)) {
    pulled.ssrc = packet->Ssrc();
    pulled.frame = static_cast<int>((packet->Timestamp() - 1000) / kFrameUnits);
  } else {
    pulled.silenceMs = out->SilenceMs();
    EXPECT_EQ(out->DataSize(), 0);
    EXPECT_EQ(out->Format().wFormatTag, WAVE_FORMAT_PCM);
  }
  out->Release();
  return pulled;
}

// A source plays once it has buffered 100 ms, gap markers standing in until then. Empty at a
// request, it is forgotten (nothing repeats its last sample) and must buffer again.
TEST(SsrcSelectorFilter, SourcePlaysAfter100MsAndIsForgottenWhenEmpty) {
  SsrcSelectorFilter selector;
  selector.Prepare();
  for (int round = 0; round < 2; ++round) {
    const int first = round * 5;
    for (int n = first; n < first + 4; ++n) {
      Push(selector, 7, n);
      Pulled gap = Pull(selector);
      EXPECT_EQ(gap.frame, -1);
      EXPECT_EQ(gap.silenceMs, 20);
    }
    Push(selector, 7, first + 4);
    for (int n = first; n < first + 5; ++n) EXPECT_EQ(Pull(selector).frame, n);
    uint32_t ssrc = 0;
    ASSERT_TRUE(selector.CurrentSsrc(&ssrc));
    EXPECT_EQ(ssrc, 7u);
    EXPECT_EQ(Pull(selector).frame, -1);
    EXPECT_FALSE(selector.CurrentSsrc(nullptr));
    EXPECT_EQ(selector.QueueCount(), 0);
    EXPECT_EQ(selector.Stats().currentDropped, round + 1);
  }
}

TEST(SsrcSelectorFilter, LowestReadySsrcWinsAndTheOtherQueueIsFreed) {
  SsrcSelectorFilter selector;
  selector.Prepare();
  AudioSample* kept = MakeDecodedSample(200, 0, 1000, 20);
  selector.TakeNextAudioSample(kept, nullptr);
  for (int n = 1; n < 6; ++n) Push(selector, 200, n);
  for (int n = 0; n < 5; ++n) Push(selector, 100, n);
  Push(selector, 50, 0);  // lower, but not ready
  EXPECT_EQ(kept->RefCount(), 2);

  Pulled first = Pull(selector);
  EXPECT_EQ(first.ssrc, 100u);
  EXPECT_EQ(selector.QueueCount(), 1);
  EXPECT_EQ(kept->RefCount(), 1);  // the losing source's samples went with its queue
  kept->Release();
  // The loser keeps sending; its packets open a new queue but are never played while the
  // chosen source has something.
  for (int n = 6; n < 9; ++n) Push(selector, 200, n);
  for (int n = 1; n < 5; ++n) EXPECT_EQ(Pull(selector).ssrc, 100u);
}

TEST(SsrcSelectorFilter, SixMissesInARowDropTheCurrentSource) {
  SsrcSelectorFilter selector;
  selector.Prepare();
  for (int n = 0; n < 5; ++n) Push(selector, 7, n);
  // Far ahead: the gap cannot be covered, so the queue falls back to buffering with samples
  // left in it.
  for (int n = 40; n < 42; ++n) Push(selector, 7, n);
  std::vector<int> frames = {Pull(selector).frame};
  // A second source gets ready meanwhile.
  for (int n = 0; n < 5; ++n) Push(selector, 9, n);
  for (int i = 1; i < 15; ++i) frames.push_back(Pull(selector).frame);
  // Five frames, four repeats of the last, six misses; then the other source plays.
  EXPECT_EQ(frames, (std::vector<int>{0, 1, 2, 3, 4, 4, 4, 4, 4, -1, -1, -1, -1, -1, -1}));
  Pulled next = Pull(selector);
  EXPECT_EQ(next.ssrc, 9u);
  EXPECT_EQ(next.frame, 0);
}

TEST(SsrcSelectorFilter, UnpreparedSelectorNeitherQueuesNorPlays) {
  SsrcSelectorFilter selector;
  selector.SetFrameMs(5);
  Push(selector, 7, 0);
  AudioSample* out = nullptr;
  selector.GiveNextAudioSample(&out, nullptr);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(selector.QueueCount(), 0);

  selector.Prepare();
  for (int n = 0; n < 5; ++n) Push(selector, 7, n);
  EXPECT_EQ(Pull(selector).frame, 0);
  // Unprepare keeps the queues; a new Prepare discards them.
  selector.Unprepare();
  EXPECT_EQ(selector.QueueCount(), 1);
  selector.Prepare();
  EXPECT_EQ(selector.QueueCount(), 0);
  EXPECT_EQ(Pull(selector).silenceMs, 5);
}

TEST(SsrcSelectorFilter, AdaptationCountersBelongToEachSelector) {
  // Two selectors served alternately: each lowers its depth on its own 100th request.
  SsrcSelectorFilter a;
  SsrcSelectorFilter b;
  a.Prepare();
  b.Prepare();
  int next = 0;
  for (int n = 0; n < 5; ++n, ++next) {
    Push(a, 1, n);
    Push(b, 1, n);
  }
  for (int take = 1; take <= 100; ++take, ++next) {
    ASSERT_NE(Pull(a).frame, -1);
    ASSERT_NE(Pull(b).frame, -1);
    Push(a, 1, next);
    Push(b, 1, next);
    int expected = take < 100 ? 100 : 80;
    ASSERT_EQ(a.CurrentDepthMs(), expected) << "take " << take;
    ASSERT_EQ(b.CurrentDepthMs(), expected) << "take " << take;
  }
}

// The bench's scripts in virtual time: the same interleaving on every run, so the selector's
// behaviour can be checked without depending on thread scheduling.
test::PlayoutResult RunVirtual(const test::Scenario& scenario, SsrcSelectorFilter* selector) {
  selector->Prepare();
  test::PlayoutResult result = test::RunScenario(scenario, selector, selector, {.virtualTime = true});
  result.AddStats(selector->Stats());
  return result;
}

test::Scenario OneSender(const char* name, double durationMs) {
  test::Scenario scenario;
  scenario.name = name;
  scenario.durationMs = durationMs;
  scenario.senders.push_back({});
  return scenario;
}

// A restart within one source is the playout queue's business; a new SSRC is the selector's.
TEST(SsrcSelectorFilter, SsrcChangePlaysBothStreamsInOrder) {
  test::Scenario change = OneSender("ssrc change", 4000);
  change.senders[0].ssrcChangeAtMs = 2000;
  SsrcSelectorFilter selector;
  test::PlayoutResult changed = RunVirtual(change, &selector);
  EXPECT_EQ(changed.playedSsrcs, (std::vector<uint32_t>{0x1000, 0x2000}));
  EXPECT_TRUE(changed.inOrder);
  EXPECT_GE(changed.played, changed.sent - 10);  // only depth adaptation skips audio
}

TEST(SsrcSelectorFilter, ComfortNoiseSilencesRebufferEachSpurt) {
  test::Scenario scenario = OneSender("comfort noise", 6000);
  scenario.senders[0].talkMs = 1000;
  scenario.senders[0].silenceMs = 500;
  SsrcSelectorFilter selector;
  test::PlayoutResult result = RunVirtual(scenario, &selector);
  // Three silences before the last packet, each a break in the audio, none covered by repeats.
  EXPECT_EQ(result.gapRuns, 3);
  EXPECT_EQ(result.repeated, 0);
  EXPECT_TRUE(result.inOrder);
  // Every spurt starts after a fresh 100 ms of buffering: the latency stays at buffering depth.
  EXPECT_LT(result.latencyP95Ms, 20 + 100 + 20 + 1);
}

TEST(SsrcSelectorFilter, DepthOnlyFallsThroughTheSelector) {
  // A fast sender fills the queue; adaptation skips old audio to hold the latency down.
  test::Scenario fast = OneSender("skew fast", 20000);
  fast.senders[0].skew = 0.005;
  SsrcSelectorFilter a;
  test::PlayoutResult fastResult = RunVirtual(fast, &a);
  EXPECT_GT(fastResult.skipped, 0);
  EXPECT_EQ(fastResult.overflowDropped, 0);
  EXPECT_LT(fastResult.latencyP95Ms, 150);

  // Heavy jitter makes the source run dry now and then; those underruns delete the queue
  // instead of being counted, so the depth is never raised.
  test::Scenario jitter = OneSender("jitter", 20000);
  jitter.network.uniformJitterMs = 80;
  SsrcSelectorFilter b;
  test::PlayoutResult jittered = RunVirtual(jitter, &b);
  EXPECT_GT(jittered.depthLowered, 0);
  EXPECT_EQ(jittered.depthRaised, 0);
  EXPECT_GT(jittered.currentDropped, 1);
  EXPECT_TRUE(jittered.inOrder);
}

// The decoder and the player on their own threads, paced in real time (sped up), through
// scripts that swap, lose and duplicate packets.
TEST(SsrcSelectorFilter, ThreadedPlayoutUnderImpairments) {
  test::Scenario scenario = OneSender("threaded", 3000);
  scenario.network.uniformJitterMs = 30;
  scenario.network.randomLoss = 0.02;
  scenario.network.reorderRate = 0.05;
  scenario.seed = 7;
  SsrcSelectorFilter selector;
  selector.Prepare();
  test::PlayoutResult result = test::RunScenario(scenario, &selector, &selector, {.speed = 3});
  result.AddStats(selector.Stats());
  EXPECT_TRUE(result.inOrder);
  EXPECT_GT(result.played, result.sent * 8 / 10);
  EXPECT_GT(result.repeated, 0);
  EXPECT_EQ(result.overflowDropped, 0);
  EXPECT_LT(result.latencyP95Ms, 300);
}

}  // namespace
}  // namespace ve
