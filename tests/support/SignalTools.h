#pragma once

// Test signals for 8 kHz 16-bit audio: white noise, tones, sweeps, clipping; and the quality
// measures (SNR, segmental SNR, delay alignment) of the speech comparison.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/SpeechComparison.h"

namespace ve::test {

// Uniform white noise of the given peak amplitude (reproducible for a seed).
std::vector<int16_t> WhiteNoise(size_t count, double amplitude, uint32_t seed = 1);
// A sine of `frequencyHz` at 8 kHz.
std::vector<int16_t> Tone(size_t count, double frequencyHz, double amplitude);
// A logarithmic sine sweep from `fromHz` to `toHz` over `count` samples.
std::vector<int16_t> Sweep(size_t count, double fromHz, double toHz, double amplitude);
// `signal` amplified by `gain` and clipped to the 16-bit range.
std::vector<int16_t> Amplify(const std::vector<int16_t>& signal, double gain);

// The measures shared with callreport, under the names the tests use.
using analysis::BestLag;
using analysis::FirFilter;
using analysis::SegmentalSnr;
using analysis::Snr;
using analysis::TrackLag;

}  // namespace ve::test
