#pragma once

// The 80-bit frame of G.729: eleven parameters packed most significant bit first into
// 10 bytes (the RTP payload layout). The 2-byte SID frame that describes the background noise
// during a pause: predictor bit, 5-bit and 4-bit LSF indices, 5-bit level index, most
// significant bit first, the last bit unused.

#include <cstdint>

namespace ve::g729 {

inline constexpr int kParamCount = 11;
inline constexpr int kFrameBytes = 10;

inline constexpr int kSidParamCount = 4;
inline constexpr int kSidBytes = 2;

void PackFrame(const int* params, uint8_t* out);
void UnpackFrame(const uint8_t* in, int* params);
void UnpackSid(const uint8_t* in, int* params);

}  // namespace ve::g729
