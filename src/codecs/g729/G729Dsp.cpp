#include "codecs/g729/G729Dsp.h"

#include <cmath>
#include <cstring>

namespace ve::g729 {

// The loops below keep several partial sums so that consecutive multiply-adds do not wait
// for each other; the frames are short and these loops are most of the coder's time.

double Dot(const double* x, const double* y, int n) {
  double s0 = 0.0;
  double s1 = 0.0;
  double s2 = 0.0;
  double s3 = 0.0;
  const int whole = n - n % 4;
  for (int i = 0; i < whole; i += 4) {
    s0 += x[i] * y[i];
    s1 += x[i + 1] * y[i + 1];
    s2 += x[i + 2] * y[i + 2];
    s3 += x[i + 3] * y[i + 3];
  }
  for (int i = whole; i < n; ++i) s0 += x[i] * y[i];
  return (s0 + s1) + (s2 + s3);
}

void Residu(const double* a, const double* x, double* y, int length) {
  for (int n = 0; n < length; ++n) {
    const double* p = x + n;
    const double odd = a[1] * p[-1] + a[3] * p[-3] + a[5] * p[-5] + a[7] * p[-7] + a[9] * p[-9];
    const double even = a[2] * p[-2] + a[4] * p[-4] + a[6] * p[-6] + a[8] * p[-8] + a[10] * p[-10];
    y[n] = p[0] + odd + even;
  }
}

void SynFilt(const double* a, const double* x, double* y, int length, double* mem,
             bool updateMemory) {
  double buffer[kLFrame + kM];
  std::memcpy(buffer, mem, sizeof(double) * kM);
  double* out = buffer + kM;
  for (int n = 0; n < length; ++n) {
    const double* p = out + n;
    const double odd = a[1] * p[-1] + a[3] * p[-3] + a[5] * p[-5] + a[7] * p[-7] + a[9] * p[-9];
    const double even = a[2] * p[-2] + a[4] * p[-4] + a[6] * p[-6] + a[8] * p[-8] + a[10] * p[-10];
    out[n] = x[n] - odd - even;
  }
  std::memcpy(y, out, sizeof(double) * length);
  if (updateMemory) std::memcpy(mem, out + length - kM, sizeof(double) * kM);
}

void Convolve(const double* x, const double* h, double* y, int length) {
  for (int n = 0; n < length; ++n) {
    double s0 = 0.0;
    double s1 = 0.0;
    int i = 0;
    for (; i + 1 <= n; i += 2) {
      s0 += x[i] * h[n - i];
      s1 += x[i + 1] * h[n - i - 1];
    }
    if (i == n) s0 += x[n] * h[0];
    y[n] = s0 + s1;
  }
}

void WeightAz(const double* a, double gamma, double* ap) {
  double factor = gamma;
  ap[0] = a[0];
  for (int i = 1; i <= kM; ++i) {
    ap[i] = a[i] * factor;
    factor *= gamma;
  }
}

void PredLt3(double* exc, int t0, int frac, int length) {
  const double* x0 = exc - t0;
  frac = -frac;
  if (frac < 0) {
    frac += kUpSamp;
    --x0;
  }
  const double* c1 = &kPitchInterpolator[frac];
  const double* c2 = &kPitchInterpolator[kUpSamp - frac];
  for (int n = 0; n < length; ++n, ++x0) {
    const double* x1 = x0;
    const double* x2 = x0 + 1;
    double s1 = 0.0;
    double s2 = 0.0;
    for (int i = 0, k = 0; i < kLInter10; ++i, k += kUpSamp) {
      s1 += x1[-i] * c1[k];
      s2 += x2[i] * c2[k];
    }
    exc[n] = s1 + s2;
  }
}

double GainPredict(const double* pastEnergy, const double* code) {
  double energy = 0.01 + Dot(code, code, kLSubfr);
  double predicted = kMeanEner - 10.0 * std::log10(energy / kLSubfr);
  for (int i = 0; i < 4; ++i) predicted += kGainPredictor[i] * pastEnergy[i];
  return std::pow(10.0, predicted / 20.0);
}

void GainUpdate(double* pastEnergy, double gainCorrection) {
  for (int i = 3; i > 0; --i) pastEnergy[i] = pastEnergy[i - 1];
  pastEnergy[0] = 20.0 * std::log10(gainCorrection);
}

int16_t Random16(int16_t& seed) {
  seed = static_cast<int16_t>(static_cast<uint16_t>(seed * 31821 + 13849));
  return seed;
}

int PitchParity(int pitchIndex) {
  int sum = 1;
  for (int bit = 2; bit <= 7; ++bit) sum += (pitchIndex >> bit) & 1;
  return sum & 1;
}

void DecodeLag(int index, int subframe, int& t0, int& frac) {
  if (subframe == 0) {
    if (index < 197) {
      t0 = (index + 2) / 3 + 19;
      frac = index - t0 * 3 + 58;
    } else {
      t0 = index - 112;
      frac = 0;
    }
    return;
  }
  int t0Min = t0 - 5;
  if (t0Min < kPitMin) t0Min = kPitMin;
  int t0Max = t0Min + 9;
  if (t0Max > kPitMax) t0Min = kPitMax - 9;
  const int i = (index + 2) / 3 - 1;
  t0 = i + t0Min;
  frac = index - 2 - i * 3;
}

}  // namespace ve::g729
