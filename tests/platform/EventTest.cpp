#include "platform/Event.h"

#include <gtest/gtest.h>

#include <chrono>

namespace ve::platform {
namespace {

// (A Set that wakes a thread already waiting is relied on, and caught, by the device gate's
// test and every component thread.)
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

}  // namespace
}  // namespace ve::platform
