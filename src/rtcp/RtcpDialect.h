#pragma once

#include <cstdint>

namespace ve {

// The two RTCP layouts the engine speaks.
//  - kStandard: 24-byte report blocks (cumulative loss, 32-bit extended highest sequence,
//    jitter in RTP timestamp units), NTP seconds counted from 1900, the delay since the last
//    SR in units of 1/65536 s.
//  - kLegacy: 28-byte report blocks (cumulative loss, wraps and highest sequence as two
//    16-bit fields, jitter in ms), NTP seconds counted from 1970, the delay since the last SR
//    in ms. Peers of the engine's older generation read and write only this one.
enum class RtcpDialect : uint8_t { kUndecided = 0, kLegacy = 1, kStandard = 2 };

// What a host asks for: kAuto starts legacy and moves to standard as soon as the peer is seen
// to be standard (or says it understands standard); the other two are fixed.
enum class RtcpMode : uint8_t { kAuto = 0, kStandard = 1, kLegacy = 2 };

const char* DialectName(RtcpDialect dialect);

}  // namespace ve
