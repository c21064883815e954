#include "audio/RtpPlayoutQueue.h"

#include <gtest/gtest.h>

#include <vector>

#include "framework/AudioSample.h"
#include "rtp/RtpPacket.h"
#include "support/ImpairmentScript.h"

namespace ve {
namespace {

using test::MakeDecodedSample;

constexpr uint32_t kSsrc = 0x1234;
constexpr uint32_t kFrameUnits = 160;  // 20 ms at 8 kHz

// Adds a 20 ms packet; by default the n-th of the stream (sequence and timestamp follow n).
void AddFrame(RtpPlayoutQueue& queue, int n, uint8_t payloadType = test::kPayloadPcmu, int seq = -1) {
  AudioSample* sample = MakeDecodedSample(kSsrc, static_cast<uint16_t>(seq < 0 ? 100 + n : seq),
                                          8000 + n * kFrameUnits, 20, payloadType);
  queue.Add(sample);
  sample->Release();
}

// Takes once; returns the frame number handed out, -1 for nothing.
int TakeFrame(RtpPlayoutQueue& queue) {
  AudioSample* out = nullptr;
  queue.Take(&out);
  if (out == nullptr) return -1;
  int n = static_cast<int>((RtpPacketOf(out)->Timestamp() - 8000) / kFrameUnits);
  out->Release();
  return n;
}

std::vector<int> TakeFrames(RtpPlayoutQueue& queue, int count) {
  std::vector<int> frames;
  for (int i = 0; i < count; ++i) frames.push_back(TakeFrame(queue));
  return frames;
}

TEST(RtpPlayoutQueue, SampleOrderFollowsTimestampsThenSequenceAcrossWrap) {
  EXPECT_TRUE(IsBefore(0xFFFFFFF0u, 5, 0x00000010u, 1));
  // The shorter way round decides: up to half the circle ahead is after.
  EXPECT_TRUE(IsBefore(0, 0, 0x7FFFFFFFu, 0));
  EXPECT_FALSE(IsBefore(0, 0, 0x80000001u, 0));
  // Equal timestamps: the sequence number decides, with its own wrap.
  EXPECT_TRUE(IsBefore(500, 0xFFFF, 500, 0x0002));
  EXPECT_FALSE(IsBefore(500, 8, 500, 8));

  // Samples compare by their packets; one without a packet is never before another.
  AudioSample* early = MakeDecodedSample(kSsrc, 1, 0xFFFFFFF0u, 20);
  AudioSample* bare = MakeDecodedSample(kSsrc, 3, 0, 20);
  bare->SetPacket(nullptr);
  EXPECT_FALSE(IsBefore(bare, early));
  EXPECT_FALSE(IsBefore(early, bare));
  early->Release();
  bare->Release();
}

TEST(RtpPlayoutQueue, BuffersToDepthThenHandsOutSwappedPacketsInOrder) {
  RtpPlayoutQueue queue(kSsrc);
  for (int n : {1, 0, 3, 2}) AddFrame(queue, n);
  EXPECT_EQ(queue.BufferedMs(), 80);
  EXPECT_EQ(TakeFrame(queue), -1);  // 80 ms < 100 ms depth: still buffering
  AddFrame(queue, 4);
  EXPECT_EQ(TakeFrames(queue, 5), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(RtpPlayoutQueue, LatePacketIsDroppedButSequenceJumpBackRestarts) {
  RtpPlayoutQueue queue(kSsrc);
  for (int n = 30; n < 35; ++n) AddFrame(queue, n);
  ASSERT_EQ(TakeFrame(queue), 30);

  // Earlier timestamp, sequence 25 below the last one: a late packet.
  AddFrame(queue, 0, test::kPayloadPcmu, 100 + 30 - 25);
  EXPECT_EQ(queue.Count(), 4);

  // Earlier timestamp, sequence 26 below: the sender restarted, everything queued is gone.
  AudioSample* restarted = MakeDecodedSample(kSsrc, 100 + 30 - 26, 8000, 20);
  queue.Add(restarted);
  EXPECT_EQ(queue.Count(), 1);
  EXPECT_EQ(TakeFrame(queue), -1);  // buffering again
  EXPECT_EQ(restarted->RefCount(), 2);  // ours and the queue's; the released ones went back
  restarted->Release();

  // A packet with the same timestamp as the last one is not late.
  RtpPlayoutQueue other(kSsrc);
  for (int n = 0; n < 5; ++n) AddFrame(other, n);
  ASSERT_EQ(TakeFrame(other), 0);
  AddFrame(other, 0);
  EXPECT_EQ(other.Count(), 5);
}

TEST(RtpPlayoutQueue, HolesAndAnEmptyQueueAreCoveredByRepeatsUpToFive) {
  // Four missing: four repeats fill exactly the hole, then the stream goes on in order.
  RtpPlayoutQueue four(kSsrc);
  for (int n : {0, 1, 2, 7, 8, 9}) AddFrame(four, n);
  EXPECT_EQ(TakeFrames(four, 9), (std::vector<int>{0, 1, 2, 2, 2, 2, 2, 7, 8}));

  // Five missing: after 5 hand-outs of the last sample the queue buffers again.
  RtpPlayoutQueue five(kSsrc);
  for (int n : {0, 1, 2, 8, 9, 10}) AddFrame(five, n);
  EXPECT_EQ(TakeFrames(five, 8), (std::vector<int>{0, 1, 2, 2, 2, 2, 2, -1}));
  for (int n = 11; n < 14; ++n) AddFrame(five, n);
  EXPECT_EQ(TakeFrame(five), 8);  // 120 ms buffered again, and no last sample to be late against

  // The same limit when the queue runs empty.
  RtpPlayoutQueue empty(kSsrc);
  for (int n = 0; n < 5; ++n) AddFrame(empty, n);
  EXPECT_EQ(TakeFrames(empty, 10), (std::vector<int>{0, 1, 2, 3, 4, 4, 4, 4, 4, -1}));
}

TEST(RtpPlayoutQueue, ComfortNoiseEndsTheSpurtAndRestartsBuffering) {
  RtpPlayoutQueue queue(kSsrc);
  for (int n = 0; n < 5; ++n) AddFrame(queue, n);
  AddFrame(queue, 5, test::kPayloadComfortNoise);
  AddFrame(queue, 20);
  EXPECT_EQ(TakeFrames(queue, 5), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(TakeFrame(queue), -1);  // the comfort-noise packet is consumed, buffering starts
  EXPECT_EQ(TakeFrame(queue), -1);  // 20 ms < depth

  // A queued comfort-noise packet ends buffering at once: a short spurt is played, not held.
  RtpPlayoutQueue spurt(kSsrc);
  AddFrame(spurt, 0);
  AddFrame(spurt, 1, test::kPayloadComfortNoise);
  EXPECT_EQ(TakeFrame(spurt), 0);
  EXPECT_EQ(TakeFrame(spurt), -1);
}

TEST(RtpPlayoutQueue, FullQueueDropsNewPackets) {
  RtpPlayoutQueue queue(kSsrc);
  for (int n = 0; n < 60; ++n) AddFrame(queue, n);
  EXPECT_EQ(queue.Count(), 50);  // 10 x 100 ms depth
}

// Keeps the queue at `levelMs` before each take by adding the next frames; returns the frame
// handed out per take.
std::vector<int> PlaySteadily(RtpPlayoutQueue& queue, int* next, int takes, int levelMs) {
  std::vector<int> frames;
  for (int i = 0; i < takes; ++i) {
    while (queue.BufferedMs() < levelMs) AddFrame(queue, (*next)++);
    frames.push_back(TakeFrame(queue));
  }
  return frames;
}

// The 100th take adapts. A level within 40 ms of the depth lowers the depth by 20 ms and skips
// one 20 ms sample to get there; a deeper queue keeps its depth and skips at most 60 ms.
TEST(RtpPlayoutQueue, SmoothPlayAdaptsEvery99TakesSkippingAtMost60Ms) {
  struct Case {
    int levelMs, depthMs, frame;
  };
  for (Case c : {Case{100, 80, 100}, Case{200, 100, 102}}) {
    RtpPlayoutQueue queue(kSsrc);
    int next = 0;
    ASSERT_EQ(PlaySteadily(queue, &next, 99, c.levelMs).back(), 98);
    EXPECT_EQ(queue.DepthMs(), 100);
    EXPECT_EQ(PlaySteadily(queue, &next, 1, c.levelMs).back(), c.frame) << c.levelMs;
    EXPECT_EQ(queue.DepthMs(), c.depthMs) << c.levelMs;
    if (c.levelMs != 100) continue;
    // Then every 99 takes: 60, 40, and never below 40.
    for (int depthMs : {60, 40, 40}) {
      PlaySteadily(queue, &next, 99, 100);
      EXPECT_EQ(queue.DepthMs(), depthMs);
    }
  }
}

TEST(RtpPlayoutQueue, TwoUnderrunsBetweenAdaptationsRaiseTheDepth) {
  PlayoutCounters counters;
  RtpPlayoutQueue queue(kSsrc, &counters);
  int next = 0;
  // Two spells of running dry, each covered by repeats of the last sample.
  for (int spell = 0; spell < 2; ++spell) {
    PlaySteadily(queue, &next, 10, 100);
    while (queue.Count() > 0) TakeFrame(queue);
    EXPECT_EQ(TakeFrame(queue), next - 1);  // the queue is empty: a repeat, an underrun
  }
  EXPECT_EQ(counters.underrunCount, 2);
  while (counters.takeCounter != 99) PlaySteadily(queue, &next, 1, 100);
  EXPECT_EQ(queue.DepthMs(), 100);
  PlaySteadily(queue, &next, 1, 100);
  EXPECT_EQ(queue.DepthMs(), 120);
  EXPECT_EQ(counters.underrunCount, 0);
}

}  // namespace
}  // namespace ve
