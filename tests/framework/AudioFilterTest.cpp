#include "framework/AudioFilter.h"

#include <gtest/gtest.h>

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

TEST(AudioFilter, ChainDrivenBySourceThreadPushes) {
  PoolBalance balance;
  {
    Chain chain;
    chain.source.limit = 200;
    ASSERT_EQ(chain.sink.Open(), 0);
    ASSERT_EQ(chain.source.Start(), 0);
    for (int i = 0; i < 5000 && chain.source.IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    chain.source.Stop();
    auto cycles = chain.sink.Cycles();
    ASSERT_EQ(cycles.size(), 200u);
    for (size_t i = 0; i < cycles.size(); ++i) {
      ASSERT_EQ(cycles[i].size(), 1u);
      EXPECT_EQ(cycles[i][0], static_cast<int16_t>(i + 1 + 110));
    }
  }
}

TEST(AudioFilter, ChainDrivenBySinkThreadPulls) {
  PoolBalance balance;
  {
    Chain chain;
    ASSERT_EQ(chain.sink.Start(), 0);
    for (int i = 0; i < 5000 && chain.sink.samples < 300; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    chain.sink.Stop();
    auto cycles = chain.sink.Cycles();
    ASSERT_GE(cycles.size(), 300u);
    for (size_t i = 0; i < cycles.size(); ++i) {
      ASSERT_EQ(cycles[i].size(), 1u);
      EXPECT_EQ(cycles[i][0], static_cast<int16_t>(i + 1 + 110));
    }
  }
}

TEST(AudioFilter, ChainDrivenByTheFiltersOwnThread) {
  PoolBalance balance;
  {
    Chain chain;
    chain.sink.Open();
    // The in-place filter's source thread pulls through the copy filter and pushes to the sink.
    ASSERT_EQ(chain.inPlace.AudioSource::Start(), 0);
    for (int i = 0; i < 5000 && chain.sink.samples < 100; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    chain.inPlace.AudioSource::Stop();
    EXPECT_GE(chain.sink.samples.load(), 100);
    EXPECT_EQ(chain.sink.Cycles().at(0).at(0), 111);
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

TEST(AudioFilter, HundredThousandSamplesKeepThePoolSmall) {
  PoolBalance balance;
  int32_t createdBefore = AudioSamplePool::Instance()->CreatedCount();
  Chain chain;
  chain.source.limit = 100000;
  chain.sink.keepValues = 10;
  chain.sink.Open();
  ASSERT_EQ(chain.source.Start(), 0);
  for (int i = 0; i < 60000 && chain.source.IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  chain.source.Stop();
  EXPECT_EQ(chain.sink.samples.load(), 100000);
  int32_t created = AudioSamplePool::Instance()->CreatedCount();
  std::printf("pool created count after 100000 samples: %d\n", created);
  EXPECT_LE(created - createdBefore, 4) << "the pool must recycle, not grow with the traffic";
}

}  // namespace
}  // namespace ve
