#include "framework/AudioSamplePool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "framework/AudioSample.h"

namespace ve {
namespace {

// Four threads take and give back samples: every one comes back, and the pool recycles them
// rather than growing with the traffic.
TEST(AudioSamplePool, ConcurrentGetAndReleaseBalance) {
  AudioSamplePool* pool = AudioSamplePool::Instance();
  const int32_t createdBefore = pool->CreatedCount(), outstandingBefore = createdBefore - pool->FreeCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([pool] {
      for (int i = 0; i < 5000; ++i) {
        AudioSample* s = nullptr;
        pool->Get(&s);
        s->AddRef();
        s->Release();
        s->Release();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(pool->CreatedCount() - pool->FreeCount(), outstandingBefore);
  EXPECT_LE(pool->CreatedCount() - createdBefore, 8);
}

// Two engines initialise the pool; it goes away with the second Shutdown only, and a sample
// still held then is deleted by its last Release (the sanitiser builds check that).
TEST(AudioSamplePool, ShutdownIsCountedAndOutstandingSamplesSurviveIt) {
  AudioSamplePool::Initialize();
  AudioSamplePool::Initialize();
  AudioSamplePool* pool = AudioSamplePool::Instance();
  AudioSample* held = nullptr;
  pool->Get(&held);
  AudioSamplePool::Shutdown();
  EXPECT_EQ(AudioSamplePool::Instance(), pool) << "the second engine still uses the pool";
  AudioSamplePool::Shutdown();
  held->SetDataSize(10);
  EXPECT_EQ(held->Release(), 0);
  AudioSamplePool* next = AudioSamplePool::Instance();
  AudioSample* s = nullptr;
  next->Get(&s);
  EXPECT_EQ(next->CreatedCount(), 1);
  s->Release();
}

}  // namespace
}  // namespace ve
