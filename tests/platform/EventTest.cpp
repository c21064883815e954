#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace ve::platform {
namespace {

TEST(Event, AutoResetLetsExactlyOneWaitPassAndResetClearsASignal) {
  Event event(true);
  event.Set();  // setting twice still releases one wait
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0)) << "the event clears itself as the waiter leaves";
  event.Set();
  event.Reset();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Event, EachSetWakesOneOfSeveralWaiters) {
  Event event;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(5000)) ++woken;
    });
  }
  for (int i = 0; i < 3; ++i) {
    event.Set();
    // Wait until that signal is consumed before the next, so signals do not merge.
    for (int spin = 0; spin < 5000 && woken.load() <= i; ++spin) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

}  // namespace
}  // namespace ve::platform
