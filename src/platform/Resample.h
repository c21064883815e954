#pragma once

#include <cstdint>
#include <vector>

namespace ve::platform {

// Converts interleaved 16-bit PCM of `channels` channels from `fromRate` to `toRate` in one
// go, band-limited (the virtual microphones use it to bring a WAV file to the rate a stream
// asks for). False when the system cannot convert between the two rates.
bool ResamplePcm16(const std::vector<int16_t>& in, uint16_t channels, uint32_t fromRate, uint32_t toRate,
                   std::vector<int16_t>* out);

}  // namespace ve::platform
