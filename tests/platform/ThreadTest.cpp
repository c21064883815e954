#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Event.h"

#ifndef _WIN32
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace ve::platform {
namespace {

struct Probe {
  std::atomic<int> runs{0};
  Event ran;
};

uint32_t RunProbe(void* argument) {
  auto* probe = static_cast<Probe*>(argument);
  ++probe->runs;
  probe->ran.Set();
  return 0;
}

TEST(Thread, RunsOnlyAfterResumeAndOnlyOnce) {
  Probe probe;
  Thread* thread = Thread::CreateSuspended(&RunProbe, &probe);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(thread->Id(), 0u);
  EXPECT_FALSE(probe.ran.Wait(50)) << "a suspended thread must not run";
  EXPECT_EQ(probe.runs.load(), 0);
  // Real-time scheduling may be refused (no privilege); asking must not disturb the thread.
  thread->SetPriority(Thread::kTimeCritical);
  EXPECT_TRUE(thread->SetPriority(0));
  EXPECT_TRUE(thread->Resume());
  EXPECT_FALSE(thread->Resume());
  EXPECT_TRUE(probe.ran.Wait(5000));
  EXPECT_FALSE(thread->Terminate()) << "a running thread cannot be terminated";
  delete thread;
  EXPECT_EQ(probe.runs.load(), 1);
#ifndef _WIN32
  // A raise that reports success has changed the thread's policy or its nice value.
  std::thread([] {
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    const int niceBefore = getpriority(PRIO_PROCESS, self);
    if (!RaiseCurrentThreadPriority()) return;
    int policy = SCHED_OTHER;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    EXPECT_TRUE(policy == SCHED_FIFO || getpriority(PRIO_PROCESS, self) < niceBefore);
  }).join();
#endif
}

// (A worker that deletes its own handle as it ends is exercised by the media components'
// threads, which end that way.)
TEST(Thread, TerminatedOrDeletedBeforeResumeNeverRuns) {
  Probe probe;
  Thread* terminated = Thread::CreateSuspended(&RunProbe, &probe);
  EXPECT_TRUE(terminated->Terminate());
  EXPECT_FALSE(terminated->Resume());
  delete terminated;
  delete Thread::CreateSuspended(&RunProbe, &probe);
  EXPECT_FALSE(probe.ran.Wait(50));
  EXPECT_EQ(probe.runs.load(), 0);
}

}  // namespace
}  // namespace ve::platform
