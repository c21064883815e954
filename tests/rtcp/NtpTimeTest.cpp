#include "rtcp/NtpTime.h"

#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace ve {
namespace {

TEST(NtpTime, ArithmeticCarriesBorrowsClampsAndDiffSaturates) {
  EXPECT_EQ(NtpTime::Add(NtpTime(10, 0xFFFFFFFFu - 65535u), 1), NtpTime(11, 4294967u - 65536u));
  EXPECT_EQ(NtpTime::Subtract(NtpTime(10, 0), 250), NtpTime(9, 0u - 250u * 4294967u));
  EXPECT_EQ(NtpTime::Subtract(NtpTime(2, 5), 5200), NtpTime(0, 0));
  EXPECT_EQ(NtpTime::DiffMs(NtpTime::Add(NtpTime(100, 123), 1234), NtpTime(100, 123)), 1234);
  EXPECT_EQ(NtpTime::DiffMs(NtpTime(4, 0xC0000000u), NtpTime(5, 0)), -250);
  EXPECT_EQ(NtpTime::DiffMs(NtpTime(0xFFFFFFFFu, 0), NtpTime(0, 0)), INT32_MAX);
  EXPECT_EQ(NtpTime::DiffMs(NtpTime(0, 0), NtpTime(0xFFFFFFFFu, 0)), INT32_MIN);
  EXPECT_TRUE(NtpTime(1, 0xFFFFFFFFu) < NtpTime(2, 0));
  EXPECT_FALSE(NtpTime(2, 1) > NtpTime(2, 1));
}

TEST(NtpTime, NowCountsFrom1970AndAdvances) {
  NtpTime a = NtpTime::Now();
  uint64_t expectSeconds = (platform::GetSystemTimeAsFileTime() - 116444736000000000ULL) / 10000000ULL;
  EXPECT_LE(expectSeconds - a.seconds, 1u);
  platform::Sleep(3);
  int32_t diff = NtpTime::DiffMs(NtpTime(), a);
  EXPECT_GE(diff, 2);
  EXPECT_LT(diff, 1000);
}

}  // namespace
}  // namespace ve
