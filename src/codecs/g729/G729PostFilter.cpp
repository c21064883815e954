#include "codecs/g729/G729PostFilter.h"

#include <cmath>
#include <cstring>

#include "codecs/g729/G729Dsp.h"

namespace ve::g729 {

void G729PostFilter::Reset() {
  std::memset(residual, 0, sizeof(residual));
  std::memset(memSyn, 0, sizeof(memSyn));
  preemphasisMemory = 0.0;
  pastGain = 1.0;
}

void G729PostFilter::Filter(const double* synth, const double* az, const int* pitch,
                            double* out) {
  double* res = residual + kPitMax;
  for (int sub = 0; sub < 2; ++sub) {
    const double* a = az + sub * kMp1;
    const double* s = synth + sub * kLSubfr;
    double* o = out + sub * kLSubfr;

    int t0Min = pitch[sub] - 3;
    int t0Max = t0Min + 6;
    if (t0Max > kPitMax) {
      t0Max = kPitMax;
      t0Min = t0Max - 6;
    }
    double num[kMp1];  // A(z/0.55)
    double den[kMp1];  // A(z/0.70)
    WeightAz(a, kGamma2Pst, num);
    WeightAz(a, kGamma1Pst, den);

    Residu(num, s, res, kLSubfr);
    double filtered[kLSubfr];
    PitchFilter(res, t0Min, t0Max, filtered);

    // Tilt of A(z/0.55)/A(z/0.70) from the first two autocorrelations of its impulse response.
    double h[kLH];
    std::memcpy(h, num, sizeof(num));
    std::memset(h + kMp1, 0, sizeof(double) * (kLH - kMp1));
    double zero[kM] = {};
    SynFilt(den, h, h, kLH, zero, false);
    const double r0 = Dot(h, h, kLH);
    const double r1 = Dot(h, h + 1, kLH - 1);
    Preemphasis(filtered, r1 <= 0.0 ? 0.0 : kMu * r1 / r0);

    SynFilt(den, filtered, o, kLSubfr, memSyn, true);
    GainControl(s, o);

    std::memmove(residual, residual + kLSubfr, sizeof(double) * kPitMax);
  }
}

void G729PostFilter::PitchFilter(const double* signal, int t0Min, int t0Max, double* out) {
  double corMax = kFltMinG729;
  int t0 = t0Min;
  for (int t = t0Min; t <= t0Max; ++t) {
    const double cor = Dot(signal, signal - t, kLSubfr);
    if (cor > corMax) {
      corMax = cor;
      t0 = t;
    }
  }
  const double energyDelayed = 0.5 + Dot(signal - t0, signal - t0, kLSubfr);
  const double energy = 0.5 + Dot(signal, signal, kLSubfr);
  if (corMax < 0.0) corMax = 0.0;

  // Below 3 dB of prediction gain the harmonic filter is bypassed.
  if (corMax * corMax < energy * energyDelayed * 0.5) {
    std::memcpy(out, signal, sizeof(double) * kLSubfr);
    return;
  }
  double g0;
  double gain;
  if (corMax > energyDelayed) {
    g0 = kInvGammap;
    gain = kGammap2;
  } else {
    corMax *= kGammap;
    const double inv = 1.0 / (corMax + energyDelayed);
    gain = inv * corMax;
    g0 = 1.0 - gain;
  }
  for (int i = 0; i < kLSubfr; ++i) out[i] = g0 * signal[i] + gain * signal[i - t0];
}

void G729PostFilter::Preemphasis(double* signal, double g) {
  const double last = signal[kLSubfr - 1];
  for (int i = kLSubfr - 1; i > 0; --i) signal[i] -= g * signal[i - 1];
  signal[0] -= g * preemphasisMemory;
  preemphasisMemory = last;
}

void G729PostFilter::GainControl(const double* in, double* out) {
  const double energyOut = Dot(out, out, kLSubfr);
  if (energyOut == 0.0) {
    pastGain = 0.0;
    return;
  }
  const double energyIn = Dot(in, in, kLSubfr);
  const double g0 = energyIn == 0.0 ? 0.0 : std::sqrt(energyIn / energyOut) * kAgcFac1;
  double gain = pastGain;
  for (int i = 0; i < kLSubfr; ++i) {
    gain = gain * kAgcFac + g0;
    out[i] *= gain;
  }
  pastGain = gain;
}

}  // namespace ve::g729
