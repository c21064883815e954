#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <ctime>

namespace ve::platform {
namespace {

// Windows' tick count advances with the system timer, up to 16 ms at a time: it may trail
// the time slept by one step.
#ifdef _WIN32
constexpr uint32_t kTickStepMs = 16;
#else
constexpr uint32_t kTickStepMs = 0;
#endif

TEST(Clock, SleepAndTickCountAgreeAndSystemTimeCountsHundredNanosecondsSince1601) {
  uint32_t before = GetTickCount();
  Sleep(20);
  uint32_t elapsed = GetTickCount() - before;  // unsigned difference survives the wrap
  EXPECT_GE(elapsed + kTickStepMs, 20u);
  EXPECT_LT(elapsed, 2000u);

  uint64_t fileTime = GetSystemTimeAsFileTime();
  uint64_t unixSeconds = fileTime / 10000000ULL - 11644473600ULL;
  int64_t difference = static_cast<int64_t>(unixSeconds) - static_cast<int64_t>(std::time(nullptr));
  EXPECT_LE(std::llabs(difference), 2);
}

}  // namespace
}  // namespace ve::platform
