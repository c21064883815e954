#include "framework/AudioSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

using test::CountingSource;
using test::RecordingSink;

// A failing open or close hook gives -20 and leaves the sink as it was; Close of an unopened
// sink calls no hook. (The lifecycle it shares with sources is tested beside AudioSource.)
TEST(AudioSink, FailingOpenOrCloseHookLeavesTheStateAsItWas) {
  RecordingSink sink;
  EXPECT_EQ(sink.Close(), 0);
  EXPECT_EQ(sink.closeCalls.load(), 0);
  ASSERT_EQ(sink.Open(), 0);
  sink.closeResult = 5;
  EXPECT_EQ(sink.Close(), -20);
  EXPECT_TRUE(sink.IsOpened());
  sink.closeResult = 0;
  EXPECT_EQ(sink.Close(), 0);
  sink.openResult = 1;
  EXPECT_EQ(sink.Open(), -20);
  EXPECT_FALSE(sink.IsOpened());
}

TEST(AudioSink, PushCollectsTheSampleAndPullsEveryOtherSourceSkippingAFailingOne) {
  int32_t outstandingBefore = test::OutstandingSamples();
  CountingSource pusher, a, b;
  RecordingSink sink;
  for (CountingSource* s : {&pusher, &a, &b, &a}) sink.AddSource(s);  // `a` is registered once
  a.produced = 100;
  b.produced = 200;

  AudioSample* pushed = test::MakeSample(7);
  EXPECT_EQ(sink.TakeNextAudioSample(pushed, &pusher), 0);
  pushed->Release();
  auto cycles = sink.Cycles();
  ASSERT_EQ(cycles.size(), 1u);
  std::sort(cycles[0].begin() + 1, cycles[0].end());  // the sources are pulled in no set order
  EXPECT_EQ(cycles[0], (std::vector<int16_t>{7, 101, 201}));
  EXPECT_EQ(pusher.produced.load(), 0) << "the pushing source is never pulled in its own push";

  // A null push still pulls the two others; a failing source is skipped for that cycle only.
  b.limit = b.produced.load();
  b.failWith = -3;
  sink.TakeNextAudioSample(nullptr, &pusher);
  b.limit = -1;
  EXPECT_EQ(sink.TakeNextAudioSample(nullptr, &pusher), 0);
  cycles = sink.Cycles();
  ASSERT_EQ(cycles.size(), 3u);
  EXPECT_EQ(cycles[1], (std::vector<int16_t>{102}));
  std::sort(cycles[2].begin(), cycles[2].end());
  EXPECT_EQ(cycles[2], (std::vector<int16_t>{103, 202}));
  EXPECT_EQ(test::OutstandingSamples(), outstandingBefore) << "every sample went back to the pool";
}

TEST(AudioSink, ConcurrentStopCallersAllReturnAfterTheThreadEnded) {
  for (int round = 0; round < 20; ++round) {
    CountingSource source;
    RecordingSink sink;
    sink.AddSource(&source);
    ASSERT_EQ(sink.Start(), 0);
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i) {
      stoppers.emplace_back([&] {
        EXPECT_EQ(sink.Stop(), 0);
        EXPECT_FALSE(sink.IsRunning());
      });
    }
    for (auto& t : stoppers) t.join();
  }
}

}  // namespace
}  // namespace ve
