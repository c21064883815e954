#include "codecs/g729/G729Encoder.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codecs/g729/G729Bitstream.h"
#include "codecs/g729/G729Dsp.h"

namespace ve::g729 {

namespace {

// Position of the current frame in the speech buffer: 120 past samples, the frame, 40 ahead.
constexpr int kSpeechOffset = kLTotal - kLFrame - kLNext;

// Backward-filtered target: d[n] = sum_{i>=n} x[i] h[i-n].
void CorrelateTarget(const double* h, const double* x, double* d) {
  for (int n = 0; n < kLSubfr; ++n) {
    double s = 0.0;
    for (int i = n; i < kLSubfr; ++i) s += x[i] * h[i - n];
    d[n] = s;
  }
}

// Encodes the pitch delay of a subframe. After the first subframe, narrows [t0Min, t0Max] to
// the range the second subframe's 5-bit index can reach.
int EncodeLag(int t0, int frac, int& t0Min, int& t0Max, int subframe) {
  if (subframe == 0) {
    const int index = t0 <= 85 ? t0 * 3 - 58 + frac : t0 + 112;
    t0Min = t0 - 5;
    if (t0Min < kPitMin) t0Min = kPitMin;
    t0Max = t0Min + 9;
    if (t0Max > kPitMax) {
      t0Max = kPitMax;
      t0Min = t0Max - 9;
    }
    return index;
  }
  return (t0 - t0Min) * 3 + 2 + frac;
}

}  // namespace

void G729Encoder::Reset() {
  std::memset(oldSpeech, 0, sizeof(oldSpeech));
  std::memset(oldWsp, 0, sizeof(oldWsp));
  std::memset(oldExc, 0, sizeof(oldExc));
  std::memcpy(lspOld, kLspInit, sizeof(lspOld));
  std::memcpy(lspOldQ, kLspInit, sizeof(lspOldQ));
  std::memset(memW, 0, sizeof(memW));
  std::memset(memW0, 0, sizeof(memW0));
  std::memcpy(pastEnergy, kPastEnergyInit, sizeof(pastEnergy));
  for (double& e : excError) e = 1.0;
  sharp = kSharpmin;
  preX[0] = preX[1] = 0.0;
  preY[0] = preY[1] = 0.0;
  lsfMemory.Reset();
}

void G729Encoder::EncodeFrame(const int16_t* pcm, uint8_t* frame) {
  // 140 Hz high-pass into the newest 80 positions of the speech buffer.
  double* newSpeech = oldSpeech + kLTotal - kLFrame;
  for (int n = 0; n < kLFrame; ++n) {
    const double x = pcm[n];
    const double y = kPreFilterB[0] * x + kPreFilterB[1] * preX[0] + kPreFilterB[2] * preX[1] +
                     kPreFilterA[1] * preY[0] + kPreFilterA[2] * preY[1];
    preX[1] = preX[0];
    preX[0] = x;
    preY[1] = preY[0];
    preY[0] = y;
    newSpeech[n] = y;
  }
  const double* speech = oldSpeech + kSpeechOffset;
  double* wsp = oldWsp + kPitMax;
  double* exc = oldExc + kPitMax + kLInterpol;
  int prm[kParamCount];

  // LP analysis: windowed autocorrelation, lag window, Levinson-Durbin, LSPs, quantisation.
  double lspNew[kM];
  double lspNewQ[kM];
  {
    double windowed[kLWindow];
    for (int i = 0; i < kLWindow; ++i) windowed[i] = oldSpeech[i] * kLpWindow[i];
    double r[kMp1];
    for (int k = 0; k <= kM; ++k) r[k] = Dot(windowed, windowed + k, kLWindow - k);
    if (r[0] < 1.0) r[0] = 1.0;
    for (int k = 0; k <= kM; ++k) r[k] *= kLagWindow[k];

    double a[kMp1];
    a[0] = 1.0;
    a[1] = -r[1] / r[0];
    double err = r[0] + r[1] * a[1];
    for (int i = 2; i <= kM; ++i) {
      double s = 0.0;
      for (int j = 0; j < i; ++j) s += r[i - j] * a[j];
      const double k = -s / err;
      for (int j = 1; j <= i / 2; ++j) {
        const int l = i - j;
        const double at = a[j] + k * a[l];
        a[l] += k * a[j];
        a[j] = at;
      }
      a[i] = k;
      err += k * s;
      if (err <= 0.0) err = 0.001;
    }
    AzToLsp(a, lspNew, lspOld);
    lsfMemory.Quantize(lspNew, lspNewQ, prm);
  }

  double aq[2 * kMp1];  // quantised LP filters of the two subframes
  double ap[2 * kMp1];  // the same, bandwidth-expanded: A(z/0.75)
  InterpolateLpc(lspOldQ, lspNewQ, aq);
  WeightAz(aq, kGamma1, ap);
  WeightAz(aq + kMp1, kGamma1, ap + kMp1);
  std::memcpy(lspOld, lspNew, sizeof(lspOld));
  std::memcpy(lspOldQ, lspNewQ, sizeof(lspOldQ));

  // LP residual of the frame into exc, and the weighted speech for the open-loop search:
  // the residual through 1/(A(z/0.75)(1 - 0.7 z^-1)).
  for (int sub = 0; sub < 2; ++sub) {
    const int iSub = sub * kLSubfr;
    Residu(aq + sub * kMp1, speech + iSub, exc + iSub, kLSubfr);
    const double* w = ap + sub * kMp1;
    double tilted[kMp1];
    tilted[0] = 1.0;
    for (int i = 1; i <= kM; ++i) tilted[i] = w[i] - kWspTilt * w[i - 1];
    SynFilt(tilted, exc + iSub, wsp + iSub, kLSubfr, memW, true);
  }

  const int tOp = OpenLoopPitch();
  int t0Min = tOp - 3;
  if (t0Min < kPitMin) t0Min = kPitMin;
  int t0Max = t0Min + 6;
  if (t0Max > kPitMax) {
    t0Max = kPitMax;
    t0Min = t0Max - 6;
  }

  int* ana = prm + 2;
  for (int sub = 0; sub < 2; ++sub) {
    const int iSub = sub * kLSubfr;
    const double* a = ap + sub * kMp1;

    // Impulse response of the weighted synthesis filter, which in this coder is 1/A(z/0.75).
    double h[kLSubfr] = {1.0};
    double zero[kM] = {};
    SynFilt(a, h, h, kLSubfr, zero, false);

    // Target: the residual through the weighted synthesis filter, continuing from the
    // weighted error of the previous subframe.
    double xn[kLSubfr];
    SynFilt(a, exc + iSub, xn, kLSubfr, memW0, false);

    int frac = 0;
    const int t0 = ClosedLoopPitch(exc + iSub, xn, h, t0Min, t0Max, sub, frac);
    const int lagIndex = EncodeLag(t0, frac, t0Min, t0Max, sub);
    *ana++ = lagIndex;
    if (sub == 0) *ana++ = PitchParity(lagIndex);

    PredLt3(exc + iSub, t0, frac, kLSubfr);
    double y1[kLSubfr];
    Convolve(exc + iSub, h, y1, kLSubfr);

    // Unquantised pitch gain; limited when the excitation error may build up (taming).
    double coeff[5];
    const double xy = Dot(xn, y1, kLSubfr);
    const double yy = 0.01 + Dot(y1, y1, kLSubfr);
    coeff[0] = yy;
    coeff[1] = -2.0 * xy + 0.01;
    double gainPitch = xy / yy;
    if (gainPitch < 0.0) gainPitch = 0.0;
    if (gainPitch > kGainPitMax) gainPitch = kGainPitMax;
    const bool taming = TamingNeeded(t0, frac);
    if (taming && gainPitch > kGpclip) gainPitch = kGpclip;

    double xn2[kLSubfr];
    for (int i = 0; i < kLSubfr; ++i) xn2[i] = xn[i] - y1[i] * gainPitch;

    double code[kLSubfr];
    double y2[kLSubfr];
    int signs = 0;
    *ana++ = SearchCodebook(xn2, h, t0, signs, code, y2);
    *ana++ = signs;

    coeff[2] = 0.01 + Dot(y2, y2, kLSubfr);
    coeff[3] = -2.0 * (0.01 + Dot(xn, y2, kLSubfr));
    coeff[4] = 2.0 * (0.01 + Dot(y1, y2, kLSubfr));
    double gainCode = 0.0;
    *ana++ = QuantizeGain(code, coeff, taming, gainPitch, gainCode);

    sharp = gainPitch;
    if (sharp > kSharpmax) sharp = kSharpmax;
    if (sharp < kSharpmin) sharp = kSharpmin;

    for (int i = 0; i < kLSubfr; ++i) exc[iSub + i] = gainPitch * exc[iSub + i] + gainCode * code[i];
    UpdateExcitationError(gainPitch, t0);

    for (int i = kLSubfr - kM, j = 0; i < kLSubfr; ++i, ++j) {
      memW0[j] = xn[i] - gainPitch * y1[i] - gainCode * y2[i];
    }
  }

  std::memmove(oldSpeech, oldSpeech + kLFrame, sizeof(double) * (kLTotal - kLFrame));
  std::memmove(oldWsp, oldWsp + kLFrame, sizeof(double) * kPitMax);
  std::memmove(oldExc, oldExc + kLFrame, sizeof(double) * (kPitMax + kLInterpol));

  PackFrame(prm, frame);
}

int G729Encoder::OpenLoopPitch() const {
  const double* wsp = oldWsp + kPitMax;
  // Correlation over every second sample, for speed.
  auto correlation = [wsp](int lag) {
    double s = 0.0;
    for (int j = 0; j < kLFrame; j += 2) s += wsp[j] * wsp[j - lag];
    return s;
  };
  auto normalised = [wsp](double value, int lag) {
    double energy = 0.01;
    for (int j = 0; j < kLFrame; j += 2) energy += wsp[j - lag] * wsp[j - lag];
    return value / std::sqrt(energy);
  };
  auto bestIn = [&](int from, int to, int step, int& lag) {
    double best = kFltMinG729;
    lag = from;
    for (int i = from; i < to; i += step) {
      const double c = correlation(i);
      if (c > best) {
        best = c;
        lag = i;
      }
    }
    return best;
  };

  // Three delay ranges, each with its best normalised correlation; the longest range is
  // searched on even delays first and refined by one sample either way.
  int tShort = 0;
  int tMid = 0;
  int tLong = 0;
  double maxShort = normalised(bestIn(20, 40, 1, tShort), tShort);
  double maxMid = normalised(bestIn(40, 80, 1, tMid), tMid);
  double maxLong = bestIn(80, kPitMax, 2, tLong);
  {
    const int centre = tLong;
    double c = correlation(centre + 1);
    if (c > maxLong) {
      maxLong = c;
      tLong = centre + 1;
    }
    c = correlation(centre - 1);
    if (c > maxLong) {
      maxLong = c;
      tLong = centre - 1;
    }
  }
  maxLong = normalised(maxLong, tLong);

  // Favour a shorter delay when a longer candidate is about a multiple of it.
  int i = tMid * 2 - tLong;
  if (std::abs(i) < 5) maxMid += maxLong * 0.25;
  i += tMid;
  if (std::abs(i) < 7) maxMid += maxLong * 0.25;
  i = tShort * 2 - tMid;
  if (std::abs(i) < 5) maxShort += maxMid * 0.20;
  i += tShort;
  if (std::abs(i) < 7) maxShort += maxMid * 0.20;

  double best = maxLong;
  int t = tLong;
  if (best < maxMid) {
    best = maxMid;
    t = tMid;
  }
  if (best < maxShort) t = tShort;
  return t;
}

int G729Encoder::ClosedLoopPitch(double* exc, const double* xn, const double* h, int t0Min,
                                 int t0Max, int subframe, int& frac) {
  double dn[kLSubfr];
  CorrelateTarget(h, xn, dn);

  double best = kFltMinG729;
  int t0 = t0Min;
  for (int t = t0Min; t <= t0Max; ++t) {
    const double c = Dot(dn, exc - t, kLSubfr);
    if (c > best) {
      best = c;
      t0 = t;
    }
  }

  PredLt3(exc, t0, 0, kLSubfr);
  best = Dot(dn, exc, kLSubfr);
  frac = 0;
  // Long delays in the first subframe are sent without a fraction.
  if (subframe == 0 && t0 > 84) return t0;

  double kept[kLSubfr];
  std::memcpy(kept, exc, sizeof(kept));
  PredLt3(exc, t0, -1, kLSubfr);
  double c = Dot(dn, exc, kLSubfr);
  if (c > best) {
    best = c;
    frac = -1;
    std::memcpy(kept, exc, sizeof(kept));
  }
  PredLt3(exc, t0, 1, kLSubfr);
  c = Dot(dn, exc, kLSubfr);
  if (c > best) {
    frac = 1;
  } else {
    std::memcpy(exc, kept, sizeof(kept));
  }
  return t0;
}

int G729Encoder::SearchCodebook(const double* x, double* h, int t0, int& signs, double* code,
                                double* y) {
  // The decoder repeats each pulse at the pitch delay with the sharpening gain; the search
  // sees that through a sharpened impulse response.
  if (t0 < kLSubfr) {
    for (int i = t0; i < kLSubfr; ++i) h[i] += sharp * h[i - t0];
  }

  double dn[kLSubfr];
  CorrelateTarget(h, x, dn);
  // Each position's pulse takes the sign of its correlation; the search then works on
  // magnitudes and a sign-adjusted correlation matrix.
  double sign[kLSubfr];
  for (int n = 0; n < kLSubfr; ++n) {
    sign[n] = dn[n] >= 0.0 ? 1.0 : -1.0;
    dn[n] = std::fabs(dn[n]);
  }
  for (int d = 0; d < kLSubfr; ++d) {
    double s = 0.0;
    for (int j = kLSubfr - 1; j >= d; --j) {
      const int m = kLSubfr - 1 - j;
      s += h[m + d] * h[m];
      const int i = j - d;
      const double v = s * sign[i] * sign[j];
      rr[i][j] = v;
      rr[j][i] = v;
    }
  }

  // Four pulses, one on each of tracks 0, 1, 2 and one on track 3 or 4. For each choice of
  // the last track: the two best track-2 positions by correlation, each paired with every
  // position of the last track; then, with that pair fixed, every track-0/track-1 pair.
  double psk = -1.0;
  double alpk = 1.0;
  int best[4] = {0, 1, 2, 3};
  for (int track = 3; track < 5; ++track) {
    double sq = -1.0;
    double alp = 1.0;
    double ps = 0.0;
    int ix = 2;
    int iy = track;
    int prev = -1;
    for (int k = 0; k < 2; ++k) {
      double max = -1.0;
      int i2 = 2;
      for (int j = 2; j < kLSubfr; j += kStep) {
        if (dn[j] > max && j != prev) {
          max = dn[j];
          i2 = j;
        }
      }
      prev = i2;
      for (int i3 = track; i3 < kLSubfr; i3 += kStep) {
        const double ps2 = dn[i2] + dn[i3];
        const double alp2 = rr[i2][i2] + rr[i3][i3] + 2.0 * rr[i2][i3];
        const double sq2 = ps2 * ps2;
        if (alp * sq2 - sq * alp2 > 0.0) {
          sq = sq2;
          ps = ps2;
          alp = alp2;
          ix = i2;
          iy = i3;
        }
      }
    }
    const int i2 = ix;
    const int i3 = iy;
    const double ps0 = ps;
    const double alp0 = alp;

    double partial1[kNbPos];  // track-1 terms that do not depend on the track-0 pulse
    for (int k = 0, i1 = 1; k < kNbPos; ++k, i1 += kStep) {
      partial1[k] = rr[i1][i1] + 2.0 * (rr[i1][i2] + rr[i1][i3]);
    }
    sq = -1.0;
    alp = 1.0;
    for (int i0 = 0; i0 < kLSubfr; i0 += kStep) {
      const double ps1 = ps0 + dn[i0];
      const double alp1 = alp0 + rr[i0][i0] + 2.0 * (rr[i0][i2] + rr[i0][i3]);
      for (int k = 0, i1 = 1; k < kNbPos; ++k, i1 += kStep) {
        const double ps2 = ps1 + dn[i1];
        const double alp2 = alp1 + partial1[k] + 2.0 * rr[i0][i1];
        const double sq2 = ps2 * ps2;
        if (alp * sq2 - sq * alp2 > 0.0) {
          sq = sq2;
          alp = alp2;
          ix = i0;
          iy = i1;
        }
      }
    }
    if (alpk * sq - psk * alp > 0.0) {
      psk = sq;
      alpk = alp;
      best[0] = ix;
      best[1] = iy;
      best[2] = i2;
      best[3] = i3;
    }
  }

  std::memset(code, 0, sizeof(double) * kLSubfr);
  std::memset(y, 0, sizeof(double) * kLSubfr);
  signs = 0;
  for (int k = 0; k < 4; ++k) {
    const int pos = best[k];
    const double s = sign[pos];
    code[pos] = s;
    if (s > 0.0) signs |= 1 << k;
    for (int n = pos; n < kLSubfr; ++n) y[n] += s * h[n - pos];
  }
  const int index = (best[0] / 5) | ((best[1] / 5) << 3) | ((best[2] / 5) << 6) |
                    ((best[3] % 5 == 4 ? 1 : 0) << 9) | ((best[3] / 5) << 10);

  if (t0 < kLSubfr) {
    for (int i = t0; i < kLSubfr; ++i) code[i] += sharp * code[i - t0];
  }
  return index;
}

int G729Encoder::QuantizeGain(const double* code, const double* coeff, bool taming,
                              double& gainPitch, double& gainCode) {
  const double gcode0 = GainPredict(pastEnergy, code);

  // Unquantised optimum of the two gains, used to pick the codebook rows worth trying.
  const double det = -1.0 / (4.0 * coeff[0] * coeff[2] - coeff[4] * coeff[4]);
  double bestPitch = (2.0 * coeff[2] * coeff[1] - coeff[3] * coeff[4]) * det;
  const double bestCode = (2.0 * coeff[0] * coeff[3] - coeff[1] * coeff[4]) * det;
  if (taming && bestPitch > kGpclip2) bestPitch = kGpclip2;

  const double x = (bestCode - (kGainPreselCoef[0][0] * bestPitch + kGainPreselCoef[1][1]) * gcode0) *
                   kInvCoef;
  const double y = (kGainPreselCoef[1][0] * (-kGainPreselCoef[0][1] + bestPitch * kGainPreselCoef[0][0]) *
                        gcode0 -
                    kGainPreselCoef[0][0] * bestCode) *
                   kInvCoef;
  int cand1 = 0;
  int cand2 = 0;
  if (gcode0 > 0.0) {
    while (cand1 < kNcode1 - kNcan1 && y > kGainPreselThr1[cand1] * gcode0) ++cand1;
    while (cand2 < kNcode2 - kNcan2 && x > kGainPreselThr2[cand2] * gcode0) ++cand2;
  } else {
    while (cand1 < kNcode1 - kNcan1 && y < kGainPreselThr1[cand1] * gcode0) ++cand1;
    while (cand2 < kNcode2 - kNcan2 && x < kGainPreselThr2[cand2] * gcode0) ++cand2;
  }

  double distMin = kFltMaxG729;
  int index1 = cand1;
  int index2 = cand2;
  for (int i = cand1; i < cand1 + kNcan1; ++i) {
    for (int j = cand2; j < cand2 + kNcan2; ++j) {
      const double gp = kGainCb1[i][0] + kGainCb2[j][0];
      if (taming && gp >= kGp0999) continue;
      const double gc = gcode0 * (kGainCb1[i][1] + kGainCb2[j][1]);
      const double dist = gp * gp * coeff[0] + gp * coeff[1] + gc * gc * coeff[2] + gc * coeff[3] +
                          gp * gc * coeff[4];
      if (dist < distMin) {
        distMin = dist;
        index1 = i;
        index2 = j;
      }
    }
  }
  gainPitch = kGainCb1[index1][0] + kGainCb2[index2][0];
  const double correction = kGainCb1[index1][1] + kGainCb2[index2][1];
  gainCode = correction * gcode0;
  GainUpdate(pastEnergy, correction);
  return (kGainMap1[index1] << 4) | kGainMap2[index2];
}

bool G729Encoder::TamingNeeded(int t0, int frac) const {
  const int t1 = frac > 0 ? t0 + 1 : t0;
  int i = t1 - kLSubfr - kLInter10;
  if (i < 0) i = 0;
  const int zone1 = i / kLSubfr;
  const int zone2 = (t1 + kLInter10 - 2) / kLSubfr;
  double maxLoc = -1.0;
  for (int z = zone2; z >= zone1; --z) {
    if (excError[z] > maxLoc) maxLoc = excError[z];
  }
  return maxLoc > kThreshErr;
}

void G729Encoder::UpdateExcitationError(double gainPitch, int t0) {
  double worst = -1.0;
  const int n = t0 - kLSubfr;
  if (n < 0) {
    double temp = 1.0 + gainPitch * excError[0];
    if (temp > worst) worst = temp;
    temp = 1.0 + gainPitch * temp;
    if (temp > worst) worst = temp;
  } else {
    const int zone1 = n / kLSubfr;
    const int zone2 = (t0 - 1) / kLSubfr;
    for (int z = zone1; z <= zone2; ++z) {
      const double temp = 1.0 + gainPitch * excError[z];
      if (temp > worst) worst = temp;
    }
  }
  for (int z = 3; z >= 1; --z) excError[z] = excError[z - 1];
  excError[0] = worst;
}

}  // namespace ve::g729
