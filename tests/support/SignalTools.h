#pragma once

// Test signals and quality measures for 8 kHz 16-bit audio: white noise, tones, sweeps, clipping,
// SNR, segmental SNR and delay alignment by cross-correlation.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ve::test {

// Uniform white noise of the given peak amplitude (reproducible for a seed).
std::vector<int16_t> WhiteNoise(size_t count, double amplitude, uint32_t seed = 1);
// A sine of `frequencyHz` at 8 kHz.
std::vector<int16_t> Tone(size_t count, double frequencyHz, double amplitude);
// A logarithmic sine sweep from `fromHz` to `toHz` over `count` samples.
std::vector<int16_t> Sweep(size_t count, double fromHz, double toHz, double amplitude);
// `signal` amplified by `gain` and clipped to the 16-bit range.
std::vector<int16_t> Amplify(const std::vector<int16_t>& signal, double gain);

// `signal` through an FIR filter of `count` taps (output clipped to 16 bits, truncated).
std::vector<int16_t> FirFilter(const std::vector<int16_t>& signal, const double* taps, int count);

// A recording that started `startOffsetMs` after the reference began (negative: before), put on
// the reference's clock: sample n of the result was recorded n samples after the reference's
// start (silence before the recording began, the recording's earlier part dropped). A lag found
// against the result is then the true delay, even one shorter than the offset.
std::vector<int16_t> OnReferenceClock(const std::vector<int16_t>& recording, double startOffsetMs, int rate = 8000);

// Delay (0..maxLag samples) at which `test` best matches `reference`: test[n + lag] ~ reference[n].
int BestLag(const std::vector<int16_t>& reference, const std::vector<int16_t>& test, int maxLag);

// SNR in dB of `test` (delayed by `lag`) against `reference` over the whole overlap.
double Snr(const std::vector<int16_t>& reference, const std::vector<int16_t>& test, int lag = 0);

// Mean per-frame SNR in dB over the active frames of `reference` (80-sample frames whose RMS is at
// least `activeRms`), each frame's value clamped to [-10, 35] dB. Returns 0 without active frames.
double SegmentalSnr(const std::vector<int16_t>& reference, const std::vector<int16_t>& test,
                    int lag = 0, double activeRms = 100.0);

// A delay that may move during a call: a playout buffer that rebuffers or drops a frame shifts
// everything after it. The reference is cut into blocks of `block` samples; each block with active
// speech is aligned within `maxShift` samples of the previous block's lag (the first block's
// starting point is `startLag`); silent blocks keep the previous lag. One lag per block.
std::vector<int> TrackLag(const std::vector<int16_t>& reference, const std::vector<int16_t>& test,
                          int startLag, size_t block, int maxShift, double activeRms);
// The lags of TrackLag's blocks that have active speech and lie, so aligned, inside the test
// signal of `testSize` samples (the others only carry a lag on).
std::vector<int> ActiveBlockLags(const std::vector<int>& lags, const std::vector<int16_t>& reference, size_t testSize,
                                 size_t block, double activeRms);

// SegmentalSnr with block i of the reference measured at lags[i] (blocks of `block` samples).
double SegmentalSnr(const std::vector<int16_t>& reference, const std::vector<int16_t>& test,
                    const std::vector<int>& lags, size_t block, double activeRms);

}  // namespace ve::test
