#include "codecs/g729/G729Lsp.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/DebugOutput.h"

namespace ve::g729 {

namespace {

// Pushes adjacent LSFs of [first, last) at least `gap` apart, moving both halfway.
void Expand(double* buf, int first, int last, double gap) {
  for (int j = first; j < last; ++j) {
    const double tmp = (buf[j - 1] - buf[j] + gap) * 0.5;
    if (tmp > 0.0) {
      buf[j - 1] -= tmp;
      buf[j] += tmp;
    }
  }
}

// Orders the LSFs, keeps them inside (kLLimit, kMLimit) and kGap3 apart. Clamping an end of
// the range is reported on the standard output.
void Stabilize(double* buf) {
  for (int j = 0; j < kM - 1; ++j) {
    if (buf[j + 1] - buf[j] < 0.0) {
      const double tmp = buf[j + 1];
      buf[j + 1] = buf[j];
      buf[j] = tmp;
    }
  }
  if (buf[0] < kLLimit) {
    buf[0] = kLLimit;
    platform::DebugPrintf("warning LSP Low \n");
  }
  for (int j = 0; j < kM - 1; ++j) {
    if (buf[j + 1] - buf[j] < kGap3) buf[j + 1] = buf[j] + kGap3;
  }
  if (buf[kM - 1] > kMLimit) {
    buf[kM - 1] = kMLimit;
    platform::DebugPrintf("warning LSP High \n");
  }
}

// Weights of the quantiser's error measure: LSFs close to their neighbours count more.
void QuantizerWeights(const double* lsf, double* weight) {
  auto w = [](double tmp) { return tmp > 0.0 ? 1.0 : tmp * tmp * 10.0 + 1.0; };
  weight[0] = w(lsf[1] - kPi04 - 1.0);
  for (int i = 1; i < kM - 1; ++i) weight[i] = w(lsf[i + 1] - lsf[i - 1] - 1.0);
  weight[kM - 1] = w(kPi92 - lsf[kM - 2] - 1.0);
  weight[4] *= kConst12;
  weight[5] *= kConst12;
}

// The second-stage row for LSFs [first, last) closest (weighted) to target - first stage.
int SelectSecondStage(const double* target, const double* stage1, const double* weight,
                      int first, int last) {
  int best = 0;
  double bestDistance = kFltMaxG729;
  for (int k = 0; k < kNc1; ++k) {
    double distance = 0.0;
    for (int j = first; j < last; ++j) {
      const double e = target[j] - stage1[j] - kLspCb2[k][j];
      distance += weight[j] * e * e;
    }
    if (distance < bestDistance) {
      bestDistance = distance;
      best = k;
    }
  }
  return best;
}

// Chebyshev-series evaluation of one LSP polynomial at x (cosine domain).
double Chebyshev(double x, const double* f) {
  const double x2 = 2.0 * x;
  double b2 = 1.0;
  double b1 = x2 + f[1];
  for (int i = 2; i < kNc; ++i) {
    const double b0 = x2 * b1 - b2 + f[i];
    b2 = b1;
    b1 = b0;
  }
  return x * b1 - b2 + 0.5 * f[kNc];
}

// Coefficients of the LSP polynomial whose roots are lsp[0], lsp[2], ... (stride 2).
void LspPolynomial(const double* lsp, double* f) {
  f[0] = 1.0;
  f[1] = -2.0 * lsp[0];
  for (int i = 2; i <= kNc; ++i) {
    const double b = -2.0 * lsp[2 * i - 2];
    f[i] = b * f[i - 1] + 2.0 * f[i - 2];
    for (int j = i - 1; j > 1; --j) f[j] += b * f[j - 1] + f[j - 2];
    f[1] += b;
  }
}

// SID frames choose among 32 rows of the first-stage codebook and 16 of the second, one row
// for both halves: the lower five LSFs from the first list, the upper five from the second.
constexpr int kSidCb1Rows[32] = {96, 52, 20, 54, 86, 114, 82, 68, 36, 121, 48, 92, 18, 120, 94, 124,
                                 50, 125, 4, 100, 28, 76, 12, 117, 81, 22, 90, 116, 127, 21, 108, 66};
constexpr int kSidCb2Rows[2][16] = {{31, 21, 9, 3, 10, 2, 19, 26, 4, 3, 11, 29, 15, 27, 21, 12},
                                    {16, 1, 0, 0, 8, 25, 22, 20, 19, 23, 20, 31, 4, 31, 20, 31}};
// Weight of the second speech predictor in the second SID predictor (the first SID predictor
// is the first speech one): a mix that predicts less from the past than speech does.
constexpr double kSidPredictorMix = 0.4;

}  // namespace

void LsfPredictorMemory::Reset() {
  for (auto& row : freqPrev) std::memcpy(row, kLsfMemoryReset, sizeof(row));
  std::memcpy(lastLsf, kLsfMemoryReset, sizeof(lastLsf));
  lastMode = 0;
}

void LsfPredictorMemory::Push(const double* vector) {
  for (int k = kMaNp - 1; k > 0; --k) std::memcpy(freqPrev[k], freqPrev[k - 1], sizeof(freqPrev[k]));
  std::memcpy(freqPrev[0], vector, sizeof(freqPrev[0]));
}

void LsfPredictorMemory::Reconstruct(int mode, int code0, int code1, int code2, double* lsfQ) {
  double buf[kM];
  for (int j = 0; j < kNc; ++j) buf[j] = kLspCb1[code0][j] + kLspCb2[code1][j];
  for (int j = kNc; j < kM; ++j) buf[j] = kLspCb1[code0][j] + kLspCb2[code2][j];
  Expand(buf, 1, kM, kGap1);
  Expand(buf, 1, kM, kGap2);
  for (int j = 0; j < kM; ++j) {
    double s = buf[j] * kLsfMaPredictorSum[mode][j];
    for (int k = 0; k < kMaNp; ++k) s += freqPrev[k][j] * kLsfMaPredictor[mode][k][j];
    lsfQ[j] = s;
  }
  Push(buf);
  Stabilize(lsfQ);
}

void LsfPredictorMemory::Quantize(const double* lsp, double* lspQ, int* indices) {
  double lsf[kM];
  double weight[kM];
  for (int i = 0; i < kM; ++i) lsf[i] = std::acos(lsp[i]);
  QuantizerWeights(lsf, weight);

  int cand[kMode];
  int low[kMode];
  int high[kMode];
  double distance[kMode];
  for (int mode = 0; mode < kMode; ++mode) {
    // Target: what the MA prediction of this mode leaves to the codebooks.
    double target[kM];
    for (int j = 0; j < kM; ++j) {
      double t = lsf[j];
      for (int k = 0; k < kMaNp; ++k) t -= freqPrev[k][j] * kLsfMaPredictor[mode][k][j];
      target[j] = t * kLsfMaPredictorSumInv[mode][j];
    }
    // First stage: plain squared error.
    int best = 0;
    double bestDistance = kFltMaxG729;
    for (int k = 0; k < kNc0; ++k) {
      double d = 0.0;
      for (int j = 0; j < kM; ++j) {
        const double e = target[j] - kLspCb1[k][j];
        d += e * e;
      }
      if (d < bestDistance) {
        bestDistance = d;
        best = k;
      }
    }
    cand[mode] = best;
    const double* stage1 = kLspCb1[best];
    // Second stage, lower and upper halves separately.
    double buf[kM];
    low[mode] = SelectSecondStage(target, stage1, weight, 0, kNc);
    for (int j = 0; j < kNc; ++j) buf[j] = stage1[j] + kLspCb2[low[mode]][j];
    Expand(buf, 1, kNc, kGap1);
    high[mode] = SelectSecondStage(target, stage1, weight, kNc, kM);
    for (int j = kNc; j < kM; ++j) buf[j] = stage1[j] + kLspCb2[high[mode]][j];
    Expand(buf, kNc, kM, kGap1);
    Expand(buf, 1, kM, kGap2);
    double d = 0.0;
    for (int j = 0; j < kM; ++j) {
      const double e = (buf[j] - target[j]) * kLsfMaPredictorSum[mode][j];
      d += weight[j] * e * e;
    }
    distance[mode] = d;
  }
  const int mode = distance[1] < distance[0] ? 1 : 0;
  indices[0] = (mode << kNc0B) | cand[mode];
  indices[1] = (low[mode] << kNc1B) | high[mode];
  double lsfQ[kM];
  Reconstruct(mode, cand[mode], low[mode], high[mode], lsfQ);
  for (int i = 0; i < kM; ++i) lspQ[i] = std::cos(lsfQ[i]);
}

void LsfPredictorMemory::Decode(int index0, int index1, double* lspQ) {
  const int mode = (index0 >> kNc0B) & 1;
  const int code0 = index0 & (kNc0 - 1);
  const int code1 = (index1 >> kNc1B) & (kNc1 - 1);
  const int code2 = index1 & (kNc1 - 1);
  Reconstruct(mode, code0, code1, code2, lastLsf);
  lastMode = mode;
  for (int i = 0; i < kM; ++i) lspQ[i] = std::cos(lastLsf[i]);
}

void LsfPredictorMemory::Conceal(double* lspQ) {
  double buf[kM];
  for (int j = 0; j < kM; ++j) {
    double t = lastLsf[j];
    for (int k = 0; k < kMaNp; ++k) t -= freqPrev[k][j] * kLsfMaPredictor[lastMode][k][j];
    buf[j] = t * kLsfMaPredictorSumInv[lastMode][j];
  }
  Push(buf);
  for (int i = 0; i < kM; ++i) lspQ[i] = std::cos(lastLsf[i]);
}

void LsfPredictorMemory::DecodeSid(int mode, int index1, int index2, double* lspQ) {
  const double* stage1 = kLspCb1[kSidCb1Rows[index1 & 31]];
  const double* low = kLspCb2[kSidCb2Rows[0][index2 & 15]];
  const double* high = kLspCb2[kSidCb2Rows[1][index2 & 15]];
  double buf[kM];
  for (int j = 0; j < kNc; ++j) buf[j] = stage1[j] + low[j];
  for (int j = kNc; j < kM; ++j) buf[j] = stage1[j] + high[j];
  Expand(buf, 1, kM, kGap1);
  const double mix = (mode & 1) ? kSidPredictorMix : 0.0;
  double lsfQ[kM];
  for (int j = 0; j < kM; ++j) {
    double predicted = 0.0;
    double weights = 0.0;
    for (int k = 0; k < kMaNp; ++k) {
      const double w = (1.0 - mix) * kLsfMaPredictor[0][k][j] + mix * kLsfMaPredictor[1][k][j];
      predicted += freqPrev[k][j] * w;
      weights += w;
    }
    lsfQ[j] = buf[j] * (1.0 - weights) + predicted;
  }
  Push(buf);
  Stabilize(lsfQ);
  for (int i = 0; i < kM; ++i) lspQ[i] = std::cos(lsfQ[i]);
}

void AzToLsp(const double* a, double* lsp, const double* oldLsp) {
  // Sum and difference polynomials with their trivial roots at z = -1 and z = 1 removed.
  double f1[kNc + 1];
  double f2[kNc + 1];
  f1[0] = 1.0;
  f2[0] = 1.0;
  for (int i = 1, j = kM; i <= kNc; ++i, --j) {
    f1[i] = a[i] + a[j] - f1[i - 1];
    f2[i] = a[i] - a[j] + f2[i - 1];
  }
  // The roots alternate between the two polynomials: walk the grid from cos(0) down,
  // bisect each sign change four times, then interpolate linearly.
  int found = 0;
  const double* coef = f1;
  double xLow = kLspGrid[0];
  double yLow = Chebyshev(xLow, coef);
  for (int j = 1; found < kM && j <= kGridPoints; ++j) {
    double xHigh = xLow;
    double yHigh = yLow;
    xLow = kLspGrid[j];
    yLow = Chebyshev(xLow, coef);
    if (yLow * yHigh > 0.0) continue;
    for (int i = 0; i < 4; ++i) {
      const double xMid = 0.5 * (xLow + xHigh);
      const double yMid = Chebyshev(xMid, coef);
      if (yLow * yMid <= 0.0) {
        yHigh = yMid;
        xHigh = xMid;
      } else {
        yLow = yMid;
        xLow = xMid;
      }
    }
    const double dy = yHigh - yLow;
    const double xInt = dy == 0.0 ? xLow : xLow - yLow * (xHigh - xLow) / dy;
    lsp[found++] = xInt;
    coef = (found & 1) ? f2 : f1;
    xLow = xInt;
    yLow = Chebyshev(xLow, coef);
  }
  if (found < kM) std::memcpy(lsp, oldLsp, sizeof(double) * kM);
}

void LspToAz(const double* lsp, double* a) {
  double f1[kNc + 1];
  double f2[kNc + 1];
  LspPolynomial(&lsp[0], f1);
  LspPolynomial(&lsp[1], f2);
  for (int i = kNc; i > 0; --i) {
    f1[i] += f1[i - 1];
    f2[i] -= f2[i - 1];
  }
  a[0] = 1.0;
  for (int i = 1, j = kM; i <= kNc; ++i, --j) {
    a[i] = 0.5 * (f1[i] + f2[i]);
    a[j] = 0.5 * (f1[i] - f2[i]);
  }
}

void InterpolateLpc(const double* lspOld, const double* lspNew, double* az) {
  double lsp[kM];
  for (int i = 0; i < kM; ++i) lsp[i] = 0.5 * lspOld[i] + 0.5 * lspNew[i];
  LspToAz(lsp, az);
  LspToAz(lspNew, az + kMp1);
}

}  // namespace ve::g729
