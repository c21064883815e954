#include "codecs/g729/G729Decoder.h"

#include <algorithm>
#include <cstring>

#include "codecs/g729/G729Bitstream.h"
#include "codecs/g729/G729Dsp.h"

namespace ve::g729 {

void G729Decoder::Reset() {
  std::memset(oldExc, 0, sizeof(oldExc));
  std::memset(synth, 0, sizeof(synth));
  std::memset(memSyn, 0, sizeof(memSyn));
  std::memcpy(lspOld, kLspInit, sizeof(lspOld));
  std::memcpy(pastEnergy, kPastEnergyInit, sizeof(pastEnergy));
  sharp = kSharpmin;
  oldT0 = 60;
  lsfMemory.Reset();
  postFilter.Reset();
  postX[0] = postX[1] = 0.0;
  postY[0] = postY[1] = 0.0;
}

namespace {

constexpr double kMaxExcitation = 1048576.0;

// Algebraic codevector: four signed unit pulses, one per track (the fourth on track 3 or 4).
void DecodeCodebook(int index, int signs, double* code) {
  int pos[4];
  pos[0] = (index & 7) * 5;
  pos[1] = ((index >> 3) & 7) * 5 + 1;
  pos[2] = ((index >> 6) & 7) * 5 + 2;
  pos[3] = ((index >> 10) & 7) * 5 + 3 + ((index >> 9) & 1);
  std::memset(code, 0, sizeof(double) * kLSubfr);
  for (int j = 0; j < 4; ++j) code[pos[j]] = ((signs >> j) & 1) ? 1.0 : -1.0;
}

int16_t RoundToPcm(double v) {
  v += v >= 0.0 ? 0.5 : -0.5;
  if (v > 32767.0) v = 32767.0;
  if (v < -32768.0) v = -32768.0;
  return static_cast<int16_t>(v);
}

}  // namespace

void G729Decoder::DecodeFrame(const uint8_t* frame, int16_t* pcm) {
  int prm[kParamCount];
  UnpackFrame(frame, prm);

  double lspNew[kM];
  lsfMemory.Decode(prm[0], prm[1], lspNew);
  double az[2 * kMp1];
  InterpolateLpc(lspOld, lspNew, az);
  std::memcpy(lspOld, lspNew, sizeof(lspOld));

  double* exc = oldExc + kPitMax + kLInterpol;
  double* syn = synth + kM;
  int pitch[2];
  int t0 = 0;
  int frac = 0;
  for (int sub = 0; sub < 2; ++sub) {
    const int* p = prm + (sub == 0 ? 2 : 7);
    const int iSub = sub * kLSubfr;
    if (sub == 0) {
      // A first-subframe pitch index whose parity bit is wrong is not trusted: the previous
      // delay is reused (and slowly lengthened) instead.
      const bool parityError = PitchParity(p[0]) != prm[3];
      if (!parityError) {
        DecodeLag(p[0], 0, t0, frac);
        oldT0 = t0;
      } else {
        t0 = oldT0;
        frac = 0;
        if (++oldT0 > kPitMax) oldT0 = kPitMax;
      }
      p += 2;  // pitch index and parity
    } else {
      DecodeLag(p[0], 1, t0, frac);
      oldT0 = t0;
      p += 1;
    }
    pitch[sub] = t0;

    PredLt3(exc + iSub, t0, frac, kLSubfr);

    double code[kLSubfr];
    DecodeCodebook(p[0], p[1], code);
    for (int i = t0; i < kLSubfr; ++i) code[i] += sharp * code[i - t0];

    const int gainIndex = p[2];
    const int row1 = kGainUnmap1[gainIndex >> 4];
    const int row2 = kGainUnmap2[gainIndex & 15];
    const double gainPitch = kGainCb1[row1][0] + kGainCb2[row2][0];
    const double correction = kGainCb1[row1][1] + kGainCb2[row2][1];
    const double gainCode = correction * GainPredict(pastEnergy, code);
    GainUpdate(pastEnergy, correction);

    sharp = gainPitch;
    if (sharp > kSharpmax) sharp = kSharpmax;
    if (sharp < kSharpmin) sharp = kSharpmin;

    // The excitation is bounded far above anything speech needs (loud clipped input stays
    // below a tenth of it); a stream that keeps the largest pitch gain at a short delay would
    // otherwise grow it until it overflows.
    for (int i = 0; i < kLSubfr; ++i) {
      const double e = gainPitch * exc[iSub + i] + gainCode * code[i];
      exc[iSub + i] = std::clamp(e, -kMaxExcitation, kMaxExcitation);
    }
    SynFilt(az + sub * kMp1, exc + iSub, syn + iSub, kLSubfr, memSyn, true);
  }

  double post[kLFrame];
  postFilter.Filter(syn, az, pitch, post);
  std::memmove(synth, synth + kLFrame, sizeof(double) * kM);
  std::memmove(oldExc, oldExc + kLFrame, sizeof(double) * (kPitMax + kLInterpol));

  for (int n = 0; n < kLFrame; ++n) {
    const double x = post[n];
    const double y = kPostFilterB[0] * x + kPostFilterB[1] * postX[0] +
                     kPostFilterB[2] * postX[1] + kPostFilterA[1] * postY[0] +
                     kPostFilterA[2] * postY[1];
    postX[1] = postX[0];
    postX[0] = x;
    postY[1] = postY[0];
    postY[0] = y;
    pcm[n] = RoundToPcm(y);
  }
}

}  // namespace ve::g729
