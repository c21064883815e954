#include "framework/AudioSource.h"

#include <gtest/gtest.h>

#include <thread>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

using test::CountingSource;
using test::RecordingSink;

TEST(AudioSource, StateCodes) {
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
}

TEST(AudioSource, FailingThreadStartGivesMinus30AndNoSampleIsProduced) {
  CountingSource source;
  source.threadStartResult = 1;
  EXPECT_EQ(source.Start(), -30);
  for (int i = 0; i < 2000 && source.threadEnds == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(source.threadEnds.load(), 1);
  EXPECT_EQ(source.produced.load(), 0);
  EXPECT_EQ(source.Stop(), 0);
}

TEST(AudioSource, NegativeProduceResultEndsTheThreadByItself) {
  int32_t outstandingBefore = test::OutstandingSamples();
  CountingSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  sink.Open();
  source.limit = 50;
  source.failWith = -1;
  ASSERT_EQ(source.Start(), 0);
  for (int i = 0; i < 5000 && source.IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(source.IsRunning());
  EXPECT_EQ(source.Stop(), 0);
  EXPECT_EQ(sink.samples.load(), 50);
  EXPECT_EQ(source.threadEnds.load(), 1);
  EXPECT_EQ(test::OutstandingSamples(), outstandingBefore);
}

TEST(AudioSource, PositiveProduceResultCountsAsSuccess) {
  CountingSource source;
  source.limit = 0;
  source.failWith = 3;  // positive: keep going (no sample)
  RecordingSink sink;
  Connect(&source, &sink);
  sink.Open();
  ASSERT_EQ(source.Start(), 0);
  for (int i = 0; i < 2000 && sink.cycles < 10; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(source.IsRunning());
  source.Stop();
  EXPECT_GE(sink.cycles.load(), 10) << "null samples are pushed as well";
}

TEST(AudioSource, PullFansOutToTheOtherListenersOnly) {
  CountingSource source;
  RecordingSink puller, other1, other2;
  Connect(&source, &puller);
  Connect(&source, &other1);
  Connect(&source, &other2);
  Connect(&source, &other2);  // registered once

  AudioSample* out = nullptr;
  EXPECT_EQ(source.GiveNextAudioSample(&out, &puller), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(test::FirstValue(out), 1);
  out->Release();
  EXPECT_EQ(puller.cycles.load(), 0);
  EXPECT_EQ(other1.Cycles().at(0).at(0), 1);
  EXPECT_EQ(other2.cycles.load(), 1);
}

TEST(AudioSource, FailedPullGivesNullToCallerAndListeners) {
  CountingSource source;
  source.limit = 0;
  source.failWith = -5;
  RecordingSink puller, other;
  Connect(&source, &puller);
  Connect(&source, &other);
  AudioSample* out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(source.GiveNextAudioSample(&out, &puller), -5);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(other.Cycles().size(), 1u);
  EXPECT_TRUE(other.Cycles()[0].empty());
}

TEST(AudioSource, DisconnectRemovesBothSides) {
  CountingSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  Disconnect(&source, &sink);
  AudioSample* out = nullptr;
  source.GiveNextAudioSample(&out, nullptr);
  out->Release();
  EXPECT_EQ(sink.cycles.load(), 0);
  sink.TakeNextAudioSample(nullptr, nullptr);
  EXPECT_EQ(source.produced.load(), 1) << "the sink no longer pulls from the source";
}

}  // namespace
}  // namespace ve
