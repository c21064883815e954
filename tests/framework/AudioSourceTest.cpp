#include "framework/AudioSource.h"

#include <gtest/gtest.h>

#include <thread>
#include <type_traits>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

using test::CountingSource;
using test::RecordingSink;

// Sources and sinks keep the same lifecycle, each in its own code: Start, Open and Close refuse
// each other (-10); a thread start refused by the component (-30 for a source, -40 for a sink)
// leaves a thread that does no work and ends by itself, clearing its handle, so the next Start
// succeeds.
template <typename Component>
class Lifecycle : public ::testing::Test {};
using Components = ::testing::Types<CountingSource, RecordingSink>;
TYPED_TEST_SUITE(Lifecycle, Components);

TYPED_TEST(Lifecycle, StartOpenAndCloseRefuseEachOtherAndARefusedThreadStartDoesNoWork) {
  constexpr bool kSink = std::is_same_v<TypeParam, RecordingSink>;
  TypeParam component;
  auto work = [&] {
    if constexpr (kSink) return component.cycles.load();
    else return component.produced.load();
  };
  ASSERT_EQ(component.Start(), 0);
  for (int32_t refused : {component.Start(), component.Open(), component.Close()}) EXPECT_EQ(refused, -10);
  EXPECT_EQ(component.Stop(), 0);
  ASSERT_EQ(component.Open(), 0);
  for (int32_t refused : {component.Open(), component.Start()}) EXPECT_EQ(refused, -10);
  EXPECT_EQ(component.Close(), 0);
  EXPECT_EQ(component.Close(), 0) << "closing twice is harmless";

  component.threadStartResult = 1;
  const int32_t workBefore = work();
  EXPECT_EQ(component.Start(), kSink ? -40 : -30);
  for (int i = 0; i < 5000 && component.IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(component.IsRunning()) << "the thread must end by itself";
  EXPECT_EQ(component.Stop(), 0);
  EXPECT_EQ(work(), workBefore) << "the worker must skip its loop";
  if constexpr (!kSink) {
    EXPECT_EQ(component.threadEnds.load(), 2);
  }
  component.threadStartResult = 0;
  EXPECT_EQ(component.Start(), 0);
  EXPECT_EQ(component.Stop(), 0);
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

// A pull gives the sample to the puller and pushes it to every other listener once; a failed
// pull gives everyone null; Disconnect removes both directions.
TEST(AudioSource, PullFansOutToTheOtherListenersOnlyAndAFailedPullGivesNull) {
  CountingSource source;
  RecordingSink puller, other1, other2;
  for (RecordingSink* sink : {&puller, &other1, &other2, &other2}) Connect(&source, sink);

  AudioSample* out = nullptr;
  EXPECT_EQ(source.GiveNextAudioSample(&out, &puller), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(test::FirstValue(out), 1);
  out->Release();
  EXPECT_EQ(puller.cycles.load(), 0);
  EXPECT_EQ(other1.Cycles().at(0).at(0), 1);
  EXPECT_EQ(other2.cycles.load(), 1);

  source.limit = 1;
  source.failWith = -5;
  out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(source.GiveNextAudioSample(&out, &puller), -5);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(other1.Cycles().size(), 2u);
  EXPECT_TRUE(other1.Cycles()[1].empty());

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
