#include "framework/AudioFilter.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

using test::AddFilter;
using test::CountingSource;
using test::RecordingSink;

// Checks on scope exit that every sample taken during the scope went back to the pool.
class PoolBalance {
 public:
  PoolBalance() : before(test::OutstandingSamples()) {}
  ~PoolBalance() { EXPECT_EQ(test::OutstandingSamples(), before) << "a sample was leaked or over-released"; }

 private:
  int32_t before;
};

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

// Every recorded cycle holds one sample that went through both filters, in order.
void ExpectCountingThroughBothFilters(const std::vector<std::vector<int16_t>>& cycles) {
  for (size_t i = 0; i < cycles.size(); ++i) {
    ASSERT_EQ(cycles[i].size(), 1u) << i;
    ASSERT_EQ(cycles[i][0], static_cast<int16_t>(i + 1 + 110)) << i;
  }
}

TEST(AudioFilter, ChainDrivenBySinkThreadOrTheFiltersOwnThreadPulls) {
  for (bool bySink : {true, false}) {
    SCOPED_TRACE(bySink ? "sink thread" : "filter thread");
    PoolBalance balance;
    // On the heap: each round's locks are new ones to the thread checker, which would take a
    // second chain in the same stack slot, driven the other way round, for a lock-order cycle.
    auto chain = std::make_unique<Chain>();
    // The in-place filter's source thread pulls through the copy filter and pushes to the sink.
    if (bySink) {
      ASSERT_EQ(chain->sink.Start(), 0);
    } else {
      chain->sink.Open();
      ASSERT_EQ(chain->inPlace.AudioSource::Start(), 0);
    }
    for (int i = 0; i < 5000 && chain->sink.samples < 300; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (bySink) chain->sink.Stop();
    else chain->inPlace.AudioSource::Stop();
    auto cycles = chain->sink.Cycles();
    ASSERT_GE(cycles.size(), 300u);
    ExpectCountingThroughBothFilters(cycles);
  }
}

TEST(AudioFilter, PullingListenerIsNotPushedItsOwnSample) {
  PoolBalance balance;
  CountingSource source;
  AddFilter filter{1};
  RecordingSink puller, tap;
  Connect(&source, filter.AsSink());
  Connect(filter.AsSource(), &puller);
  Connect(filter.AsSource(), &tap);
  puller.TakeNextAudioSample(nullptr, nullptr);  // one pull cycle of `puller`
  auto pulled = puller.Cycles();
  ASSERT_EQ(pulled.size(), 1u) << "the puller must see exactly its own cycle, no pushed copy";
  ASSERT_EQ(pulled[0].size(), 1u);
  EXPECT_EQ(pulled[0][0], 2);
  ASSERT_EQ(tap.Cycles().size(), 1u);
  EXPECT_EQ(tap.Cycles()[0][0], 2);
  EXPECT_EQ(puller.LastSources().at(0), static_cast<AudioSinkListener*>(filter.AsSource()));
  Disconnect(filter.AsSource(), &tap);
  Disconnect(filter.AsSource(), &puller);
  Disconnect(&source, filter.AsSink());
}

TEST(AudioFilter, ChainDrivenBySourceThreadPushesAndThePoolStaysSmall) {
  PoolBalance balance;
  int32_t createdBefore = AudioSamplePool::Instance()->CreatedCount();
  Chain chain;
  chain.source.limit = 100000;
  chain.sink.keepValues = 200;
  chain.sink.Open();
  ASSERT_EQ(chain.source.Start(), 0);
  for (int i = 0; i < 60000 && chain.source.IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  chain.source.Stop();
  EXPECT_EQ(chain.sink.samples.load(), 100000);
  ExpectCountingThroughBothFilters(chain.sink.Cycles());
  int32_t created = AudioSamplePool::Instance()->CreatedCount();
  std::printf("pool created count after 100000 samples: %d\n", created);
  EXPECT_LE(created - createdBefore, 4) << "the pool must recycle, not grow with the traffic";
}

}  // namespace
}  // namespace ve
