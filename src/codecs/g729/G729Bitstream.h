#pragma once

// The 80-bit frame of G.729: eleven parameters packed most significant bit first into
// 10 bytes (the RTP payload layout).

#include <cstdint>

namespace ve::g729 {

inline constexpr int kParamCount = 11;
inline constexpr int kFrameBytes = 10;

void PackFrame(const int* params, uint8_t* out);
void UnpackFrame(const uint8_t* in, int* params);

}  // namespace ve::g729
