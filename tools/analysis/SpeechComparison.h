#pragma once

// Compares speech one side of a call sent with what the other side heard, for 8 kHz 16-bit
// audio: alignment by cross-correlation (followed as the delay moves), SNR and segmental SNR,
// missing speech and the level heard in the sender's pauses. callreport and the call tests
// measure calls with it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ve::analysis {

// `signal` through an FIR filter of `count` taps (output clipped to 16 bits, truncated).
std::vector<int16_t> FirFilter(const std::vector<int16_t>& signal, const double* taps, int count);
// What the engine's send equaliser makes of `speech`: what a faithful call delivers.
std::vector<int16_t> SendEqualized(const std::vector<int16_t>& speech);

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
// The same with block i of the reference measured at lags[i] (blocks of `block` samples).
double SegmentalSnr(const std::vector<int16_t>& reference, const std::vector<int16_t>& test,
                    const std::vector<int>& lags, size_t block, double activeRms);

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

// How the speech in `sent` arrived in `heard`, both 8 kHz and on the same clock (see
// OnReferenceClock): a lag is then the mouth-to-ear delay.
struct SpeechArrival {
  double delayMs = 0;        // the first alignment, over the first 3 s of speech
  double medianDelayMs = 0;  // the delay followed over the call's speech: its median and maximum
  double maxDelayMs = 0;
  int delayChanges = 0;      // times the delay moved (a rebuffer or a slipped frame)
  double correlation = 0;    // of the signals aligned at the first delay: 1 is a perfect copy
  double segmentalSnr = 0;   // over active speech, each block at its followed delay
  size_t speechFrames = 0;   // 20 ms frames of `sent` with speech in them
  size_t missingFrames = 0;  // of those, frames that arrived silent or not at all
  double missingShare = 1;
  // The heard level, in dB below full scale, over the frames in which the sender was silent
  // (with 40 ms of silence on either side, so alignment and filter tails stay out), and how
  // many such frames there were. -120 when they were all zero.
  double pauseLevelDbfs = 0;
  int pauseFrames = 0;
};
SpeechArrival CompareSpeech(const std::vector<int16_t>& sent, const std::vector<int16_t>& heard, int maxDelayMs);

}  // namespace ve::analysis
