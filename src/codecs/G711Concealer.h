#pragma once

#include <array>
#include <cstdint>

namespace ve {

// Fills lost G.711 audio (16-bit samples at 8 kHz) by repeating the last pitch period of what
// was played before the loss.
//
// It keeps the last 390 samples (48.75 ms) that went out, concealed ones included. When a loss
// starts it finds the pitch period P (40..120 samples) whose lagged signal correlates best,
// after normalising by the lagged energy, with the last 160 samples, and copies the history
// into a pitch buffer. The buffer is read cyclically, one period long at first; its last P / 4
// samples are cross-faded into the P / 4 samples before the period, so that each wrap from the
// period's end back to its start is smooth. The first 8 concealed samples (1 ms) carry the
// difference between the last played sample and the sample the buffer expects before its
// start, fading out, so the loss begins without a step although nothing already played is
// changed: the concealer adds no delay. After 10 ms and again after 20 ms of loss the buffer takes one
// more period from further back (2, then 3 periods), cross-fading from the old buffer into the
// new one over P / 4 samples, so that a long loss does not buzz on one period. From 10 ms on
// the output falls linearly by 20 % per 10 ms and is silent from 60 ms.
//
// The first good samples after a loss are blended with the synthetic signal continued past the
// loss (at the gain it had reached), over P / 4 samples plus 4 ms for every 10 ms of loss
// beyond the first, at most 10 ms: the longer the loss, the slower the return.
//
// All state is kept per sample, so the result does not depend on how the caller cuts the
// stream into blocks: a loss of 20 ms concealed in one call or in two gives the same output.
// Blocks of whole 10 ms frames are the usual case, but any count works. Nothing is allocated.
//
// Threads: used by the thread that plays the stream out only; no lock.
class G711Concealer {
 public:
  static constexpr int32_t kFrameSamples = 80;             // 10 ms
  static constexpr int32_t kHistorySamples = 390;          // 48.75 ms: 3 longest periods + overlap
  static constexpr int32_t kMinPitch = 40;                 // 200 Hz
  static constexpr int32_t kMaxPitch = 120;                // 66.7 Hz
  static constexpr int32_t kCorrelationSamples = 160;      // 20 ms compared per candidate period
  static constexpr int32_t kMaxPeriods = 3;
  static constexpr int32_t kSilentAfterSamples = 6 * kFrameSamples;  // 60 ms
  static constexpr int32_t kRecoveryStepSamples = 32;      // 4 ms more blend per 10 ms of loss
  static constexpr int32_t kOnsetSamples = 8;              // the step at a loss's start fades in 1 ms

  G711Concealer() { Reset(); }

  // Forgets the history and any loss in progress, as for a new stream.
  void Reset();

  // Takes `count` decoded samples that arrived. The first samples after a loss are changed in
  // place to blend out of the concealed signal; everything else is left as it is.
  void Good(int16_t* samples, int32_t count);

  // Writes `count` samples of concealment for audio that did not arrive.
  void Conceal(int16_t* out, int32_t count);

  // Samples concealed in the loss in progress (0 when the last call was Good).
  int32_t ConcealedSamples() const { return erased; }

 private:
  // Period (kMinPitch..kMaxPitch) found in the pitch buffer, which holds the history.
  int32_t FindPitch() const;
  // Sets up the pitch buffer with one period at the start of a loss.
  void StartLoss();
  // Takes one more period into the pitch buffer, cross-fading out of the old one.
  void AddPeriod();
  // The next sample read cyclically from the pitch buffer.
  float NextBufferSample();
  // Concealed sample number `t` of a loss before its gain: the buffer read on, with the
  // cross-fade of an added period and the fading onset difference applied.
  float Synthesize(int32_t t);
  // Re-blends the buffer's last `overlap` samples from the original history into the samples
  // before the buffer's start.
  void BlendTail();
  // Gain of concealed sample number `t` of a loss: 1 for the first 10 ms, then falling to 0.
  static float LossGain(int32_t t);
  // Appends `count` samples to the history.
  void Remember(const int16_t* samples, int32_t count);

  std::array<int16_t, kHistorySamples> history{};
  std::array<float, kHistorySamples> buffer{};   // copy of the history at the loss's start
  std::array<float, kMaxPitch / 4> originalTail{};  // history's last `overlap` samples
  std::array<float, kMaxPitch / 4> fadeOut{};    // old buffer continued, after a period is added
  int32_t pitch = 0;
  int32_t overlap = 0;     // pitch / 4
  int32_t periods = 0;     // periods in the buffer, which ends at kHistorySamples
  int32_t offset = 0;      // read position from the buffer's start
  int32_t fadePosition = 0;  // next fadeOut sample; overlap when no cross-fade is running
  float onsetStep = 0.0f;  // last played sample minus the buffer's expected predecessor
  int32_t erased = 0;      // samples concealed in this loss
  // Recovery after a loss: samples still to blend, their total, the synthetic signal's gain.
  int32_t blendLeft = 0;
  int32_t blendLength = 0;
  float blendGain = 0.0f;
  int32_t synthesisTime = 0;  // loss sample number of the synthetic signal being blended out
};

}  // namespace ve
