#include "codecs/g729/G729Decoder.h"

#include <algorithm>
#include <cstring>

#include "codecs/g729/G729Bitstream.h"
#include "codecs/g729/G729Dsp.h"

namespace ve::g729 {

namespace {

constexpr double kMaxExcitation = 1048576.0;
constexpr int16_t kLossSeedStart = 21845;

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

void G729Decoder::Reset() {
  std::memset(oldExc, 0, sizeof(oldExc));
  std::memset(synth, 0, sizeof(synth));
  std::memset(memSyn, 0, sizeof(memSyn));
  std::memcpy(lspOld, kLspInit, sizeof(lspOld));
  std::memcpy(pastEnergy, kPastEnergyInit, sizeof(pastEnergy));
  sharp = kSharpmin;
  oldT0 = 60;
  gainPitch = 0.0;
  gainCode = 0.0;
  lossSeed = kLossSeedStart;
  speechLast = true;
  speechEnergy = 0.0;
  lsfMemory.Reset();
  comfortNoise.Reset();
  postFilter.Reset();
  postX[0] = postX[1] = 0.0;
  postY[0] = postY[1] = 0.0;
}

void G729Decoder::DecodeFrame(const uint8_t* frame, int16_t* pcm) {
  int prm[kParamCount];
  UnpackFrame(frame, prm);
  DecodeSpeech(prm, pcm);
}

void G729Decoder::DecodeErased(int16_t* pcm) {
  if (speechLast) {
    DecodeSpeech(nullptr, pcm);
  } else {
    DecodeNoise(nullptr, pcm);
  }
}

void G729Decoder::DecodeSid(const uint8_t* sid, int16_t* pcm) {
  int prm[kSidParamCount];
  UnpackSid(sid, prm);
  DecodeNoise(prm, pcm);
}

void G729Decoder::DecodeNoData(int16_t* pcm) { DecodeNoise(nullptr, pcm); }

void G729Decoder::DecodeSpeech(const int* prm, int16_t* pcm) {
  const bool lost = prm == nullptr;
  double lspNew[kM];
  if (lost) {
    lsfMemory.Conceal(lspNew);
  } else {
    lsfMemory.Decode(prm[0], prm[1], lspNew);
  }
  double az[2 * kMp1];
  InterpolateLpc(lspOld, lspNew, az);
  std::memcpy(lspOld, lspNew, sizeof(lspOld));

  double* exc = oldExc + kPitMax + kLInterpol;
  double* syn = synth + kM;
  int pitch[2];
  int t0 = 0;
  for (int sub = 0; sub < 2; ++sub) {
    const int* p = lost ? nullptr : prm + (sub == 0 ? 2 : 7);
    const int iSub = sub * kLSubfr;
    int frac = 0;
    // A lost subframe, or a first-subframe pitch index whose parity bit is wrong, repeats the
    // previous delay lengthened by one sample, so that a long loss does not buzz at one pitch.
    bool trusted = !lost;
    if (lost) {
      t0 = oldT0;
    } else if (sub == 0) {
      trusted = PitchParity(p[0]) == prm[3];
      if (trusted) {
        DecodeLag(p[0], 0, t0, frac);
      } else {
        t0 = oldT0;
      }
      p += 2;  // pitch index and parity
    } else {  // the second subframe's delay is coded relative to the first's
      DecodeLag(p[0], 1, t0, frac);
      p += 1;
    }
    if (trusted) {
      oldT0 = t0;
    } else if (++oldT0 > kPitMax) {
      oldT0 = kPitMax;
    }
    pitch[sub] = t0;

    PredLt3(exc + iSub, t0, frac, kLSubfr);

    double code[kLSubfr];
    if (lost) {
      const int index = Random16(lossSeed) & 0x1FFF;
      const int signs = Random16(lossSeed) & 0xF;
      DecodeCodebook(index, signs, code);
    } else {
      DecodeCodebook(p[0], p[1], code);
    }
    for (int i = t0; i < kLSubfr; ++i) code[i] += sharp * code[i - t0];

    if (lost) {
      // The gains fade from the last ones; the energy memory decays likewise, so the first
      // frames after the loss start from a lower predicted gain.
      gainPitch = std::min(gainPitch * kEraseGainPitAtt, kEraseGainPitMax);
      gainCode *= kEraseGainCodeAtt;
      const double mean = (pastEnergy[0] + pastEnergy[1] + pastEnergy[2] + pastEnergy[3]) * 0.25;
      const double decayed = std::max(mean + kEraseEnerOffset, kEraseEnerFloor);
      for (int i = 3; i > 0; --i) pastEnergy[i] = pastEnergy[i - 1];
      pastEnergy[0] = decayed;
    } else {
      const int gainIndex = p[2];
      const int row1 = kGainUnmap1[gainIndex >> 4];
      const int row2 = kGainUnmap2[gainIndex & 15];
      gainPitch = kGainCb1[row1][0] + kGainCb2[row2][0];
      const double correction = kGainCb1[row1][1] + kGainCb2[row2][1];
      gainCode = correction * GainPredict(pastEnergy, code);
      GainUpdate(pastEnergy, correction);
    }

    sharp = std::clamp(gainPitch, kSharpmin, kSharpmax);

    // The excitation is bounded far above anything speech needs (loud clipped input stays
    // below a tenth of it); a stream that keeps the largest pitch gain at a short delay would
    // otherwise grow it until it overflows.
    for (int i = 0; i < kLSubfr; ++i) {
      const double e = gainPitch * exc[iSub + i] + gainCode * code[i];
      exc[iSub + i] = std::clamp(e, -kMaxExcitation, kMaxExcitation);
    }
    SynFilt(az + sub * kMp1, exc + iSub, syn + iSub, kLSubfr, memSyn, true);
  }

  // A pause that starts without its SID takes the level of the last received speech.
  if (!lost) speechEnergy = Dot(exc, exc, kLFrame);
  speechLast = true;
  comfortNoise.RestartSequence();
  Finish(az, pitch, pcm);
}

void G729Decoder::DecodeNoise(const int* sid, int16_t* pcm) {
  if (sid != nullptr) {
    double lsp[kM];
    lsfMemory.DecodeSid(sid[0], sid[1], sid[2], lsp);
    comfortNoise.Sid(sid[3], lsp, speechLast);
  } else {
    comfortNoise.NoSid(speechLast, speechEnergy, lspOld);
  }
  double az[2 * kMp1];
  InterpolateLpc(lspOld, comfortNoise.Lsp(), az);
  std::memcpy(lspOld, comfortNoise.Lsp(), sizeof(lspOld));

  double* exc = oldExc + kPitMax + kLInterpol;
  double* syn = synth + kM;
  comfortNoise.Excitation(exc);
  for (int sub = 0; sub < 2; ++sub) {
    SynFilt(az + sub * kMp1, exc + sub * kLSubfr, syn + sub * kLSubfr, kLSubfr, memSyn, true);
  }
  sharp = kSharpmin;
  speechLast = false;
  const int pitch[2] = {oldT0, oldT0};
  Finish(az, pitch, pcm);
}

void G729Decoder::Finish(const double* az, const int* pitch, int16_t* pcm) {
  const double* syn = synth + kM;
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
