#include "framework/AudioSamplePool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

TEST(AudioSamplePool, ASamplePutBackWhileReferencedIsNotHandedOut) {
  test::ReplacePool();  // the held sample will be the only one on the free list
  AudioSamplePool* pool = AudioSamplePool::Instance();
  AudioSample* held = nullptr;
  pool->Get(&held);
  held->Release();
  // Someone still holds it (a bug elsewhere): the pool must not give it out a second time.
  held->AddRef();
  AudioSample* fresh = nullptr;
  pool->Get(&fresh);
  EXPECT_NE(fresh, held);
  fresh->Release();
  EXPECT_EQ(held->Release(), 0) << "its holder still gives it back normally";
}

TEST(AudioSamplePool, ConcurrentGetAndReleaseBalance) {
  AudioSamplePool* pool = AudioSamplePool::Instance();
  int32_t createdBefore = pool->CreatedCount();
  int32_t outstandingBefore = createdBefore - pool->FreeCount();
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

TEST(AudioSamplePool, ShutdownIsCountedAndOutstandingSamplesSurviveIt) {
  AudioSamplePool::Initialize();
  AudioSamplePool::Initialize();
  AudioSamplePool* pool = AudioSamplePool::Instance();
  AudioSample* held = nullptr;
  pool->Get(&held);
  AudioSamplePool::Shutdown();
  EXPECT_EQ(AudioSamplePool::Instance(), pool) << "the second engine still uses the pool";
  AudioSamplePool::Shutdown();
  // The pool is gone; the sample still held is deleted by its last Release (ASan checks).
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
