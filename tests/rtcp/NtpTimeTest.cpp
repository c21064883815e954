#include "rtcp/NtpTime.h"

#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace ve {
namespace {

TEST(NtpTime, ArithmeticCarriesBorrowsClampsAndDiffSaturates) {
  EXPECT_EQ(NtpTime::Add(NtpTime(10, 0xFFFFFFFFu - 65535u), 1), NtpTime(11, 4294967u - 65536u));
  EXPECT_EQ(NtpTime::Subtract(NtpTime(10, 0), 250), NtpTime(9, 0u - 250u * 4294967u));
  EXPECT_EQ(NtpTime::Subtract(NtpTime(2, 5), 5200), NtpTime(0, 0));
  EXPECT_EQ(NtpTime::Subtract(NtpTime(2, 0xF0000000u), 2100), NtpTime(0, 0xF0000000u - 100u * 4294967u));
  EXPECT_EQ(NtpTime::DiffMs(NtpTime(4, 0xC0000000u), NtpTime(5, 0)), -250);
  EXPECT_EQ(std::make_tuple(NtpTime::DiffMs(NtpTime(0xFFFFFFFFu, 0), NtpTime(0, 0)), NtpTime::DiffMs(NtpTime(0, 0), NtpTime(0xFFFFFFFFu, 0))),
            std::make_tuple(INT32_MAX, INT32_MIN));
}

// The current time counts from 1970 with microsecond resolution: a reading of the system clock
// taken between two readings of Now lies between them.
TEST(NtpTime, NowCountsFrom1970) {
  const NtpTime before = NtpTime::Now();
  const uint64_t since1970 = platform::GetSystemTimeAsFileTime() - 116444736000000000ULL;
  const NtpTime after;
  const NtpTime between(static_cast<uint32_t>(since1970 / 10000000),
                        static_cast<uint32_t>(since1970 % 10000000 / 10) * NtpTime::kFractionPerMicrosecond);
  EXPECT_FALSE(between < before || after < between);
}

}  // namespace
}  // namespace ve
