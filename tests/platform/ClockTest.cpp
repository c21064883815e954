#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <ctime>

namespace ve::platform {
namespace {

TEST(Clock, SleepAndTickCountAgree) {
  uint32_t before = GetTickCount();
  Sleep(20);
  uint32_t elapsed = GetTickCount() - before;  // unsigned difference survives the wrap
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(Clock, SystemTimeCountsHundredNanosecondsSince1601) {
  uint64_t fileTime = GetSystemTimeAsFileTime();
  uint64_t unixSeconds = fileTime / 10000000ULL - 11644473600ULL;
  int64_t difference = static_cast<int64_t>(unixSeconds) - static_cast<int64_t>(std::time(nullptr));
  EXPECT_LE(std::llabs(difference), 2);
}

}  // namespace
}  // namespace ve::platform
