#pragma once

// G.729 Annex A decoder: 10-byte frames to 80 samples of 8 kHz speech, with the Annex A
// post-filter and the 100 Hz high-pass post-processing. All state lives in the object; a new
// or Reset decoder starts from the initial state. Nothing is allocated per frame.
//
// Threads: one thread at a time per object; no lock.

#include <cstdint>

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

 private:
  // Excitation history (kPitMax + kLInterpol samples) followed by the current frame.
  double oldExc[kLFrame + kPitMax + kLInterpol];
  // Synthesis of the previous frame's last kM samples followed by the current frame.
  double synth[kM + kLFrame];
  double memSyn[kM];
  double lspOld[kM];
  double pastEnergy[4];
  double sharp;
  int oldT0;
  LsfPredictorMemory lsfMemory;
  G729PostFilter postFilter;
  double postX[2];  // last two inputs of the 100 Hz high-pass
  double postY[2];  // last two outputs
};

}  // namespace ve::g729
