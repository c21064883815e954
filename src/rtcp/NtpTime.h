#pragma once

#include <cstdint>

namespace ve {

// A wall-clock timestamp: whole seconds since 1970-01-01 00:00 UTC and a binary fraction of
// a second in units of 2^-32 s. The standard RTCP layout counts its seconds from 1900 instead
// (FromStandardWire/ToStandardWire convert); the legacy layout carries this value as it is.
// A one-way delay taken from a peer's report is only meaningful between clocks that agree.
//
// Threads: a plain value, copied freely.
struct NtpTime {
  static constexpr uint32_t kFractionPerMicrosecond = 4294;
  static constexpr uint32_t kFractionPerMillisecond = 4294967;
  // Seconds from 1900-01-01 to 1970-01-01.
  static constexpr uint32_t kSeconds1900To1970 = 2208988800u;

  uint32_t seconds;
  uint32_t fraction;

  // The current time.
  NtpTime();
  NtpTime(uint32_t wholeSeconds, uint32_t fractionUnits) : seconds(wholeSeconds), fraction(fractionUnits) {}

  static NtpTime Now();
  // t + ms, carrying fraction overflow into the seconds.
  static NtpTime Add(const NtpTime& t, uint32_t ms);
  // t - ms; times before the origin clamp to zero seconds.
  static NtpTime Subtract(const NtpTime& t, uint32_t ms);
  // a - b in milliseconds, saturated to the 32-bit range.
  static int32_t DiffMs(const NtpTime& a, const NtpTime& b);

  // The middle 32 bits (low 16 bits of the seconds, high 16 bits of the fraction), as RTCP
  // carries the time of the last sender report.
  uint32_t Middle32() const { return (seconds << 16) | (fraction >> 16); }

  // The same instant counted from 1900, as the standard layout carries it (wraps in 2036).
  NtpTime ToStandardWire() const { return NtpTime(seconds + kSeconds1900To1970, fraction); }
  static NtpTime FromStandardWire(uint32_t wireSeconds, uint32_t wireFraction) {
    return NtpTime(wireSeconds - kSeconds1900To1970, wireFraction);
  }

  // Writes "seconds.fraction" ("%u.%010u") to the standard error stream.
  void Print() const;

  friend bool operator==(const NtpTime& a, const NtpTime& b) {
    return a.seconds == b.seconds && a.fraction == b.fraction;
  }
  friend bool operator<(const NtpTime& a, const NtpTime& b) {
    return a.seconds != b.seconds ? a.seconds < b.seconds : a.fraction < b.fraction;
  }
  friend bool operator>(const NtpTime& a, const NtpTime& b) { return b < a; }
};

}  // namespace ve
