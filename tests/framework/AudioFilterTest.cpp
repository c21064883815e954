#include "framework/AudioFilter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

using test::AddFilter;
using test::CountingSource;
using test::RecordingSink;

// source -> copy filter (+10) -> in-place filter (+100) -> sink
struct Chain {
  CountingSource source;
  AddFilter copy{10, false};
  AddFilter inPlace{100, true};
  RecordingSink sink;

  Chain() {
    Connect(&source, copy.AsSink());
    Connect(copy.AsSource(), inPlace.AsSink());
    Connect(inPlace.AsSource(), &sink);
  }
  ~Chain() {
    Disconnect(inPlace.AsSource(), &sink);
    Disconnect(copy.AsSource(), inPlace.AsSink());
    Disconnect(&source, copy.AsSink());
  }
};

// The chain driven by each of the three threads that can drive it: the sink's pull, the
// in-place filter's own source thread (pulls through the copy filter, pushes to the sink), and
// the source's push. Every cycle holds one sample that went through both filters, in order;
// every sample goes back to the pool, which recycles rather than grows with the traffic.
TEST(AudioFilter, ChainDrivenByEachThreadPassesEverySampleThroughBothFilters) {
  enum Driver { kSink, kFilter, kSource };
  for (Driver driver : {kSink, kFilter, kSource}) {
    SCOPED_TRACE(driver);
    int32_t outstandingBefore = test::OutstandingSamples();
    int32_t createdBefore = AudioSamplePool::Instance()->CreatedCount();
    {
      // On the heap: each round's locks are new ones to the thread checker, which would take a
      // second chain in the same stack slot, driven the other way round, for a lock-order cycle.
      auto chain = std::make_unique<Chain>();
      const int32_t wanted = driver == kSource ? 100000 : 300;
      chain->source.limit = driver == kSource ? wanted : -1;
      chain->sink.keepValues = 200;
      if (driver == kSink) {
        ASSERT_EQ(chain->sink.Start(), 0);
      } else {
        chain->sink.Open();
        ASSERT_EQ(driver == kFilter ? chain->inPlace.AudioSource::Start() : chain->source.Start(), 0);
      }
      for (int i = 0; i < 60000 && chain->sink.samples < wanted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (driver == kSink) chain->sink.Stop();
      else if (driver == kFilter) chain->inPlace.AudioSource::Stop();
      else chain->source.Stop();
      if (driver == kSource) {
        EXPECT_EQ(chain->sink.samples.load(), wanted);
      }
      auto cycles = chain->sink.Cycles();
      ASSERT_EQ(cycles.size(), 200u);
      for (size_t i = 0; i < cycles.size(); ++i) {
        ASSERT_EQ(cycles[i], std::vector<int16_t>{static_cast<int16_t>(i + 1 + 110)}) << i;
      }
    }
    EXPECT_EQ(test::OutstandingSamples(), outstandingBefore) << "a sample was leaked or over-released";
    if (driver == kSource) {
      int32_t created = AudioSamplePool::Instance()->CreatedCount();
      std::printf("pool created count after 100000 samples: %d\n", created);
      EXPECT_LE(created - createdBefore, 4) << "the pool must recycle, not grow with the traffic";
    }
  }
}

TEST(AudioFilter, PullingListenerIsNotPushedItsOwnSample) {
  CountingSource source;
  AddFilter filter{1};
  RecordingSink puller, tap;
  Connect(&source, filter.AsSink());
  Connect(filter.AsSource(), &puller);
  Connect(filter.AsSource(), &tap);
  puller.TakeNextAudioSample(nullptr, nullptr);  // one pull cycle of `puller`
  EXPECT_EQ(puller.Cycles(), (std::vector<std::vector<int16_t>>{{2}})) << "its own cycle only, no pushed copy";
  EXPECT_EQ(tap.Cycles(), (std::vector<std::vector<int16_t>>{{2}}));
  EXPECT_EQ(puller.LastSources().at(0), static_cast<AudioSinkListener*>(filter.AsSource()));
  Disconnect(filter.AsSource(), &tap);
  Disconnect(filter.AsSource(), &puller);
  Disconnect(&source, filter.AsSink());
}

}  // namespace
}  // namespace ve
