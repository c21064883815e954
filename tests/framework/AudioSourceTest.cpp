#include "framework/AudioSource.h"

#include <gtest/gtest.h>

#include <thread>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

using test::CountingSource;
using test::RecordingSink;

TEST(AudioSource, StateCodesAndAFailingThreadStart) {
  CountingSource source;
  ASSERT_EQ(source.Start(), 0);
  EXPECT_EQ(source.Start(), -10);
  EXPECT_EQ(source.Open(), -10);
  EXPECT_EQ(source.Close(), -10);
  EXPECT_EQ(source.Stop(), 0);
  ASSERT_EQ(source.Open(), 0);
  EXPECT_EQ(source.Start(), -10);
  EXPECT_EQ(source.Close(), 0);
  EXPECT_EQ(source.Close(), 0) << "closing twice is harmless";

  source.threadStartResult = 1;
  const int32_t endsBefore = source.threadEnds, producedBefore = source.produced;
  EXPECT_EQ(source.Start(), -30);
  for (int i = 0; i < 2000 && source.threadEnds == endsBefore; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(source.threadEnds.load(), endsBefore + 1);
  EXPECT_EQ(source.produced.load(), producedBefore);
  EXPECT_EQ(source.Stop(), 0);
}

// A negative result of ProduceSample ends the thread by itself; a positive one is a success
// without a sample, and the null sample is pushed as well.
TEST(AudioSource, NegativeProduceResultEndsTheThreadPositiveKeepsItGoing) {
  int32_t outstandingBefore = test::OutstandingSamples();
  for (int32_t result : {-1, 3}) {
    SCOPED_TRACE(result);
    CountingSource source;
    RecordingSink sink;
    Connect(&source, &sink);
    sink.Open();
    source.limit = 50;
    source.failWith = result;
    ASSERT_EQ(source.Start(), 0);
    for (int i = 0; i < 5000 && source.IsRunning() && sink.cycles < 60; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(source.IsRunning(), result > 0);
    EXPECT_EQ(source.Stop(), 0);
    EXPECT_EQ(sink.samples.load(), 50);
    if (result > 0) {
      EXPECT_GE(sink.cycles.load(), 60);
    }
    EXPECT_EQ(source.threadEnds.load(), 1);
  }
  EXPECT_EQ(test::OutstandingSamples(), outstandingBefore);
}

TEST(AudioSource, PullFansOutToTheOtherListenersOnlyAndAFailedPullGivesNull) {
  CountingSource source;
  RecordingSink puller, other1, other2;
  for (RecordingSink* sink : {&puller, &other1, &other2, &other2}) Connect(&source, sink);  // other2 once

  AudioSample* out = nullptr;
  EXPECT_EQ(source.GiveNextAudioSample(&out, &puller), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(test::FirstValue(out), 1);
  out->Release();
  EXPECT_EQ(puller.cycles.load(), 0);
  EXPECT_EQ(other1.Cycles().at(0).at(0), 1);
  EXPECT_EQ(other2.cycles.load(), 1);

  // The caller and the listeners all get null when the source fails.
  source.limit = 1;
  source.failWith = -5;
  out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(source.GiveNextAudioSample(&out, &puller), -5);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(other1.Cycles().size(), 2u);
  EXPECT_TRUE(other1.Cycles()[1].empty());

  // Disconnect removes both sides: no push to the sink, no pull from the source.
  Disconnect(&source, &other1);
  source.limit = -1;
  source.GiveNextAudioSample(&out, &puller);
  out->Release();
  EXPECT_EQ(other1.Cycles().size(), 2u);
  const int32_t produced = source.produced;
  other1.TakeNextAudioSample(nullptr, nullptr);
  EXPECT_EQ(source.produced.load(), produced);
}

}  // namespace
}  // namespace ve
