#pragma once

#include <array>
#include <cstdint>

namespace ve {

// Changes the duration of 8 kHz 16-bit mono speech a few milliseconds at a time without
// changing its pitch and without clicks, so that a playout buffer can grow or shrink its delay
// while it plays.
//
// Each call takes the next block of one continuous stream (any length; typically 10 or 20 ms)
// and hands it out shorter (Compress) or longer (Expand) by a whole number of samples between
// kMinShift and kMaxShift (2.5 to 15 ms), or unchanged. The change is made at the start of the
// block, right after what was played last:
//   Compress by P: out[n] = fade(in[n] -> in[n + P]) for n < L, then in[n + P];
//   Expand by P:   out[n] = fade(in[n] -> y[n - P]) for n < L, then y[n - P],
// where y is the played history followed by the block (so Expand replays the last P samples
// heard) and the fade is a raised-cosine cross-fade over L samples (at most P). In voiced
// speech P is a lag at which the signal resembles itself, one or more pitch periods, found by
// normalised cross-correlation over a window that starts 5 ms before the seam: the two copies
// being faded then carry the same waveform and the pitch pulses keep their rhythm across the
// seam. A lag qualifies when its correlation is a peak, at least kMatchThreshold and nearly as
// high as the best over every lag the block allows (up to 15 ms, even when less is asked, so
// that a lag shorter than the pitch period is not mistaken for it); the longest one within
// the amount asked is taken.
// A quiet block (IsQuiet over the samples the change touches) changes by exactly the amount
// asked, whatever it holds. A loud block without such a match (unvoiced sounds, onsets, noise)
// is handed out unchanged: the caller asks again with a later block.
//
// The output ends with the block's own last samples (a cross-fade has reached them by then),
// so the next block joins it without a seam. The scaler keeps the last kHistory samples
// (20 ms) it handed out, or that the caller reported through NotePlayed: the part of the
// correlation window before the seam and the material that Expand replays. Nothing else
// carries over from one call to the next. After construction and Reset that history is
// silence.
//
// Threads: none of its own and no lock; one owner (the playout thread) calls everything.
// Nothing is allocated after construction; results depend only on the inputs since the last
// Reset.
class TimeScaler {
 public:
  static constexpr int32_t kMinShift = 20;   // 2.5 ms: a 400 Hz pitch period
  static constexpr int32_t kMaxShift = 120;  // 15 ms: a 67 Hz pitch period
  static constexpr int32_t kMinOverlap = 20;  // shortest cross-fade: 2.5 ms
  static constexpr int32_t kLookBack = 40;    // history in the correlation window: 5 ms
  static constexpr int32_t kHistory = kMaxShift + 1 + kLookBack;
  static constexpr double kMatchThreshold = 0.75;
  // Loudest 5 ms RMS of a quiet block by default: about -40 dBFS.
  static constexpr int32_t kDefaultQuietRms = 330;

  explicit TimeScaler(int32_t quietRms = kDefaultQuietRms);

  // Writes `in` shortened by 0..maxRemove samples to `out` (room for `count` samples) and
  // returns the output length; -1 for invalid arguments. At most kMaxShift samples go, and
  // at least kMinOverlap samples of the block must remain after the removed stretch
  // (a 20 ms block can lose 15 ms, a 10 ms block 7.5 ms). `in` and `out` must not overlap.
  [[nodiscard]] int32_t Compress(const int16_t* in, int32_t count, int16_t* out, int32_t maxRemove);

  // Writes `in` lengthened by 0..maxAdd samples to `out`, which has room for `capacity`
  // samples (at least `count`), and returns the output length; -1 for invalid arguments.
  // At most kMaxShift samples are added. `in` and `out` must not overlap.
  [[nodiscard]] int32_t Expand(const int16_t* in, int32_t count, int16_t* out, int32_t capacity,
                               int32_t maxAdd);

  // Whether every 5 ms stretch of `samples` has an RMS of at most the quiet level: no speech
  // to hear, so any change of duration is inaudible.
  [[nodiscard]] bool IsQuiet(const int16_t* samples, int32_t count) const;

  // Reports samples the listener heard that did not come from Compress or Expand (a
  // concealed frame, comfort noise), so that the next change joins them.
  void NotePlayed(const int16_t* samples, int32_t count);

  // Forgets the history (a new stream starts after silence).
  void Reset();

 private:
  enum class Direction { kCompress, kExpand };

  // The lag to change the block by (0: none); fills work with the history and the start of
  // the block first.
  int32_t ChooseLag(Direction direction, const int16_t* in, int32_t count, int32_t maxLag);
  // Normalised cross-correlation of the windows around the seam for a change by `lag`.
  double Match(Direction direction, int32_t count, int32_t lag) const;

  // The cross-fade length for a change by `lag` of a `count`-sample block.
  static int32_t Overlap(Direction direction, int32_t count, int32_t lag);

  int32_t quietRms;
  // The last kHistory samples handed out, oldest first.
  std::array<int16_t, kHistory> history{};
  // The history followed by the first samples of the current block: all a decision reads.
  std::array<int16_t, kHistory + 2 * (kMaxShift + 1)> work{};
  // Correlation per lag, kMinShift - 1 .. kMaxShift + 1.
  std::array<double, kMaxShift + 3> match{};
};

}  // namespace ve
