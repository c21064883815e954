#pragma once

// G.729 Annex A decoder: 10-byte frames to 80 samples of 8 kHz speech, with the Annex A
// post-filter and the 100 Hz high-pass post-processing; lost frames are concealed, and the
// sender's pauses (SID frames and the frames it does not send) become comfort noise. All state
// lives in the object; a new or Reset decoder starts from the initial state. Nothing is
// allocated per frame.
//
// Threads: one thread at a time per object; no lock.

#include <cstdint>

#include "codecs/g729/G729ComfortNoise.h"
#include "codecs/g729/G729PostFilter.h"
#include "codecs/g729/G729Lsp.h"
#include "codecs/g729/G729Tables.h"

namespace ve::g729 {

class G729Decoder {
 public:
  G729Decoder() { Reset(); }
  void Reset();

  // Decodes one 10-byte frame into 80 samples, rounded half away from zero and saturated.
  void DecodeFrame(const uint8_t* frame, int16_t* pcm);
  // 80 samples for a frame that was lost. During speech: the last frame's LSPs and pitch
  // delay (one sample longer each subframe, up to kPitMax) with the gains fading, and a random
  // fixed-codebook part. During a pause: more comfort noise.
  void DecodeErased(int16_t* pcm);
  // 80 samples of comfort noise from a 2-byte SID frame (kSidBytes).
  void DecodeSid(const uint8_t* sid, int16_t* pcm);
  // 80 samples for a frame the sender did not send during a pause: comfort noise from the
  // last SID, or, when the pause's SID never arrived, at the level of the last speech frame.
  void DecodeNoData(int16_t* pcm);

 private:
  // One speech frame from its parameters, or a lost one when `prm` is null.
  void DecodeSpeech(const int* prm, int16_t* pcm);
  // One frame of comfort noise; `sid` holds the SID parameters or is null.
  void DecodeNoise(const int* sid, int16_t* pcm);
  // Post-filter, history shift and high-pass of the frame just synthesised.
  void Finish(const double* az, const int* pitch, int16_t* pcm);

  // Excitation history (kPitMax + kLInterpol samples) followed by the current frame.
  double oldExc[kLFrame + kPitMax + kLInterpol];
  // Synthesis of the previous frame's last kM samples followed by the current frame.
  double synth[kM + kLFrame];
  double memSyn[kM];
  double lspOld[kM];
  double pastEnergy[4];
  double sharp;
  int oldT0;
  // Gains of the last subframe, the starting point of a lost frame's fading ones.
  double gainPitch;
  double gainCode;
  int16_t lossSeed;        // random fixed-codebook choices of lost frames
  bool speechLast;         // the last frame was speech (received or concealed), not a pause
  double speechEnergy;     // excitation energy of the last received speech frame
  LsfPredictorMemory lsfMemory;
  G729ComfortNoise comfortNoise;
  G729PostFilter postFilter;
  double postX[2];  // last two inputs of the 100 Hz high-pass
  double postY[2];  // last two outputs
};

}  // namespace ve::g729
