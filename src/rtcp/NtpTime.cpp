#include "rtcp/NtpTime.h"

#include <cstdio>
#include <limits>

#include "platform/Clock.h"

namespace ve {

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeTo1970 = 116444736000000000ULL;
constexpr uint64_t kIntervalsPerSecond = 10000000ULL;

}  // namespace

NtpTime::NtpTime() : NtpTime(Now()) {}

NtpTime NtpTime::Now() {
  uint64_t count = platform::GetSystemTimeAsFileTime();
  count = count > kFileTimeTo1970 ? count - kFileTimeTo1970 : 0;
  auto wholeSeconds = static_cast<uint32_t>(count / kIntervalsPerSecond);
  auto micros = static_cast<uint32_t>((count % kIntervalsPerSecond) / 10);
  return NtpTime(wholeSeconds, micros * kFractionPerMicrosecond);
}

NtpTime NtpTime::Add(const NtpTime& t, uint32_t ms) {
  uint32_t addFraction = (ms % 1000) * kFractionPerMillisecond;
  uint32_t sumFraction = t.fraction + addFraction;
  uint32_t carry = sumFraction < t.fraction ? 1 : 0;
  return NtpTime(t.seconds + ms / 1000 + carry, sumFraction);
}

NtpTime NtpTime::Subtract(const NtpTime& t, uint32_t ms) {
  uint32_t f = (ms % 1000) * kFractionPerMillisecond;
  uint32_t wholeSeconds = ms / 1000;
  if (t.seconds <= wholeSeconds) return NtpTime(0, f < t.fraction ? t.fraction - f : 0);
  uint32_t resultSeconds = t.seconds - wholeSeconds;
  if (f > t.fraction) resultSeconds -= 1;
  return NtpTime(resultSeconds, t.fraction - f);
}

int32_t NtpTime::DiffMs(const NtpTime& a, const NtpTime& b) {
  if (a == b) return 0;
  if (a < b) {
    int32_t back = DiffMs(b, a);
    return back == std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::min() : -back;
  }
  uint32_t diffSeconds = a.seconds - b.seconds;
  if (a.fraction < b.fraction) diffSeconds -= 1;
  uint32_t diffFraction = a.fraction - b.fraction;
  int64_t ms = static_cast<int64_t>(diffSeconds) * 1000 + diffFraction / kFractionPerMillisecond;
  return ms > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(ms);
}

void NtpTime::Print() const { std::fprintf(stderr, "%u.%010u", seconds, fraction); }

}  // namespace ve
