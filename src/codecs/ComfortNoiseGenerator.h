#pragma once

#include <array>
#include <cstdint>

namespace ve {

// Background noise for the gaps a sender leaves during silence, played from comfort-noise
// payloads: 16-bit samples at 8 kHz.
//
// A payload's first byte is the noise level in -dBov (0..127; its top bit is always clear).
// Levels are relative to the overload point: 0 dBov is the level of a full-scale square wave,
// an RMS of 32767, so a full-scale sine is at -3 dBov and a payload of 40 asks for an RMS of
// 32767 * 10^(-40/20) = 328. Any further bytes are reflection coefficients k1, k2, ... of an
// all-pole model of the noise's spectrum, one byte q each: k = (q - 127) / 128, so 127 is 0
// and 0..254 span -127/128..127/128 (255 is never sent). The model's predictor polynomial is
// built as A(z) = 1 + a1 z^-1 + ..., with k the last coefficient at each order: noise with
// most of its energy at low frequencies (a positive first autocorrelation) has a negative k1,
// a byte below 127. Without coefficients the noise is white.
//
// Gaussian-like white noise (a sum of four uniform draws from a seeded generator, so runs
// repeat) drives a lattice synthesis filter with the coefficients, scaled by
// sqrt(prod(1 - k^2)) so that the output's RMS is the payload's level whatever the spectrum.
// Successive payloads change level and coefficients smoothly: both move linearly to the new
// values over 20 ms (the coefficients stay inside -1..1 on the way, so the filter stays
// stable). The first payload takes effect at once. FadeTo moves the level alone, over a
// length the caller chooses, so that concealment can fade into noise and noise out again.
//
// Nothing is allocated; payloads are read within their length only.
//
// Threads: used by the thread that plays the stream out only; no lock.
class ComfortNoiseGenerator {
 public:
  static constexpr int32_t kMaxOrder = 32;            // further coefficients are not used
  static constexpr int32_t kSmoothingSamples = 160;   // 20 ms from one payload to the next
  static constexpr double kFullScaleRms = 32767.0;    // 0 dBov
  static constexpr double kSilentDbov = -127.0;       // at or below: silence

  explicit ComfortNoiseGenerator(uint32_t seed = 1) { Reset(seed); }

  // Silence, white, no payload seen, and the noise source restarted from `seed`.
  void Reset(uint32_t seed);

  // Takes a comfort-noise payload of `length` bytes. Returns false, changing nothing, for an
  // empty payload, a level byte with its top bit set or a coefficient byte of 255. Payloads
  // with more than kMaxOrder coefficients use the first kMaxOrder (a lower-order model of the
  // same spectrum).
  bool Update(const uint8_t* payload, int32_t length);

  // Moves the level linearly (in amplitude) from where it is to `levelDbov` (0 or below;
  // kSilentDbov or below, or NaN, is silence) over `samples` samples, at once for 0 or less.
  // The spectrum stays as it is.
  void FadeTo(double levelDbov, int32_t samples);
  void SetLevel(double levelDbov) { FadeTo(levelDbov, 0); }

  // Writes `count` samples of noise.
  void Generate(int16_t* out, int32_t count);

  // Reflection coefficients in use (the larger of the old and new order while moving).
  int32_t Order() const { return order; }

 private:
  // Unit-variance noise sample.
  double NextExcitation();
  // Starts moving the level's amplitude to `target` over `samples` samples.
  void MoveGain(double target, int32_t samples);
  // sqrt(prod(1 - k^2)) for the coefficients in use.
  void UpdateExcitationScale();

  uint32_t random = 1;
  bool heard = false;   // a payload or a level was given since the last Reset
  double gain = 0.0;    // output RMS the filter is scaled for
  double gainStep = 0.0;
  int32_t gainLeft = 0;  // samples until the gain reaches its target
  double gainTarget = 0.0;
  int32_t order = 0;
  int32_t targetOrder = 0;
  int32_t coefficientsLeft = 0;  // samples until the coefficients reach their targets
  double excitationScale = 1.0;
  std::array<double, kMaxOrder> k{};
  std::array<double, kMaxOrder> kTarget{};
  std::array<double, kMaxOrder> kStep{};
  std::array<double, kMaxOrder + 1> backward{};  // the lattice's delayed backward errors
  bool stateClear = true;  // backward is all zero
};

}  // namespace ve
