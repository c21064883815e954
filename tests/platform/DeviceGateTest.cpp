#include "platform/DeviceGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Event.h"

namespace ve::platform {
namespace {

// Close must not return while a thread is still inside a device call, and nobody may enter
// once it has begun; a reopened gate hands out passes again.
TEST(DeviceGate, CloseWaitsForPassesOutAndRefusesNewOnes) {
  DeviceGate gate;
  EXPECT_FALSE(gate.Enter());
  gate.Open();

  Event holding;
  Event release;
  std::atomic<bool> released{false};
  std::thread user([&] {
    DeviceGate::Pass pass = gate.Enter();
    ASSERT_TRUE(pass);
    holding.Set();
    release.Wait();
    released = true;
  });
  holding.Wait();

  std::atomic<bool> releasedWhenClosed{false};
  std::thread closer([&] {
    gate.Close();
    releasedWhenClosed = released.load();
  });
  // Close shuts the gate before it waits; the pass still out keeps it waiting.
  while (gate.IsOpen()) std::this_thread::yield();
  EXPECT_FALSE(gate.Enter());
  release.Set();
  user.join();
  closer.join();
  EXPECT_TRUE(releasedWhenClosed);

  gate.Close();  // closed and drained already: returns at once
  gate.Open();
  EXPECT_TRUE(gate.Enter());
}

}  // namespace
}  // namespace ve::platform
