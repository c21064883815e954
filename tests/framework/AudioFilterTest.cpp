#include "framework/AudioFilter.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

using test::AddFilter;

// source -> copy filter (+10) -> in-place filter (+100) -> sink
struct Chain {
  test::CountingSource source;
  AddFilter copy{10, false};
  AddFilter inPlace{100, true};
  test::RecordingSink sink;

  Chain() {
    Connect(&source, copy.AsSink());
    Connect(copy.AsSource(), inPlace.AsSink());
    Connect(inPlace.AsSource(), &sink);
  }
};

// The chain driven by each of the three threads that can drive it: the sink's pull, the
// in-place filter's own source thread (pulls through the copy filter, pushes to the sink), and
// the source's push. Every cycle holds one sample that went through both filters, in order;
// every sample goes back to the pool, which recycles rather than grows with the traffic.
// (That a pulling listener is not also pushed its own sample is the source's rule, tested there.)
TEST(AudioFilter, ChainDrivenByEachThreadPassesEverySampleThroughBothFilters) {
  enum Driver { kSink, kFilter, kSource };
  for (Driver driver : {kSink, kFilter, kSource}) {
    SCOPED_TRACE(driver);
    const int32_t outstandingBefore = test::OutstandingSamples();
    const int32_t createdBefore = AudioSamplePool::Instance()->CreatedCount();
    {
      // On the heap: each round's locks are new ones to the thread checker, which would take a
      // second chain in the same stack slot, driven the other way round, for a lock-order cycle.
      auto chain = std::make_unique<Chain>();
      const int32_t wanted = driver == kSource ? 100000 : 300;
      chain->source.limit = driver == kSource ? wanted : -1;
      chain->sink.keepValues = 200;
      if (driver != kSink) chain->sink.Open();
      AudioSource* sourceThread = driver == kFilter ? static_cast<AudioSource*>(&chain->inPlace) : &chain->source;
      ASSERT_EQ(driver == kSink ? chain->sink.Start() : sourceThread->Start(), 0);
      for (int i = 0; i < 60000 && chain->sink.samples < wanted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      EXPECT_EQ(driver == kSink ? chain->sink.Stop() : sourceThread->Stop(), 0);
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
      EXPECT_LE(AudioSamplePool::Instance()->CreatedCount() - createdBefore, 4)
          << "the pool must recycle, not grow with the traffic";
    }
  }
}

}  // namespace
}  // namespace ve
