#pragma once

// Checks for the audio device tests: levels, and a skip when no sound server is configured.
// Signals, alignment and WAV files come from SignalTools and WavWriter.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ve::test {

// Root mean square of values [from, from + count); 0 when out of range.
double Rms(const std::vector<int16_t>& values, size_t from, size_t count);

// True (with the reason in `why`) when the tests that need the sound server must skip.
bool NoSoundServer(std::string* why);

}  // namespace ve::test
