#pragma once

#include <cstdint>

namespace ve {

// Wrap-aware arithmetic on RTP sequence numbers (16 bits) and timestamps (32 bits): the
// distance from b to a is the shorter way round the circle, so a number just past the wrap
// is after one just before it. Every comparison of sequence numbers or timestamps in the
// engine goes through these.

// a - b as a signed distance (-32768..32767).
constexpr int32_t SeqDelta(uint16_t a, uint16_t b) { return static_cast<int16_t>(static_cast<uint16_t>(a - b)); }
// a is after b.
constexpr bool SeqNewer(uint16_t a, uint16_t b) { return SeqDelta(a, b) > 0; }
// a - b in timestamp units, signed.
constexpr int32_t TimestampDelta(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }
// a is after b.
constexpr bool TimestampNewer(uint32_t a, uint32_t b) { return TimestampDelta(a, b) > 0; }

}  // namespace ve
