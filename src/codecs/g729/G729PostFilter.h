#pragma once

// The G.729 Annex A post-filter: long-term (harmonic) filter on the residual of A(z/0.55),
// short-term filter 1/A(z/0.70), tilt compensation and gain control, per 40-sample subframe.
//
// Threads: owned by one decoder and used only by the thread that decodes with it.

#include "codecs/g729/G729Tables.h"

namespace ve::g729 {

class G729PostFilter {
 public:
  G729PostFilter() { Reset(); }
  void Reset();

  // Filters one frame. `synth` points at the 80 synthesised samples with the previous 10
  // (unfiltered) ones before them; `az` holds the two subframes' LP filters; `pitch` the
  // integer pitch delays of the two subframes. Writes 80 samples to `out`.
  void Filter(const double* synth, const double* az, const int* pitch, double* out);

 private:
  // Harmonic post-filter of one subframe of residual at `signal` (history before it).
  static void PitchFilter(const double* signal, int t0Min, int t0Max, double* out);
  // 1 - g z^-1 on one subframe, in place, continuing from the last sample of the previous one.
  void Preemphasis(double* signal, double g);
  // Scales `out` towards the energy of `in`, with the gain smoothed sample by sample.
  void GainControl(const double* in, double* out);

  double residual[kPitMax + kLSubfr];  // residual of A(z/0.55), with kPitMax samples of history
  double memSyn[kM];                   // memory of 1/A(z/0.70)
  double preemphasisMemory;
  double pastGain;
};

}  // namespace ve::g729
