#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace ve::platform {

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t GetTickCount() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint64_t GetSystemTimeAsFileTime() {
  // 11644473600 seconds separate 1601-01-01 from the Unix epoch.
  constexpr uint64_t kEpochDifference100ns = 11644473600ULL * 10000000ULL;
  auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
  auto ticks = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(sinceUnix);
  return kEpochDifference100ns + static_cast<uint64_t>(ticks.count());
}

}  // namespace ve::platform
