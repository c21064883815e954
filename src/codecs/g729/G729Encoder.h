#pragma once

// G.729 Annex A encoder: 80 samples of 8 kHz speech to one 10-byte frame. Pre-processing
// (140 Hz high-pass), LP analysis and LSP quantisation, open-loop and closed-loop pitch
// search, the algebraic codebook search and the gain quantiser with taming. All state lives
// in the object; a new or Reset encoder starts from the initial state. Nothing is allocated
// per frame.
//
// Threads: one thread at a time per object; no lock.

#include <cstdint>

#include "codecs/g729/G729Lsp.h"
#include "codecs/g729/G729Tables.h"

namespace ve::g729 {

class G729Encoder {
 public:
  G729Encoder() { Reset(); }
  void Reset();

  // Encodes 80 samples into one 10-byte frame.
  void EncodeFrame(const int16_t* pcm, uint8_t* frame);

 private:
  // Open-loop pitch delay of the frame from the weighted speech.
  int OpenLoopPitch() const;
  // Closed-loop integer and fractional delay of one subframe; leaves the adaptive codebook
  // vector of the chosen delay in exc[0..40).
  static int ClosedLoopPitch(double* exc, const double* xn, const double* h, int t0Min,
                             int t0Max, int subframe, int& frac);
  // Algebraic codebook search on target x with impulse response h (sharpened in place by
  // the pitch contribution). Returns the position index; fills signs, code and its filtered
  // version y.
  int SearchCodebook(const double* x, double* h, int t0, int& signs, double* code, double* y);
  // Gain quantiser: coeff holds the five correlations of the error energy (see
  // EncodeFrame). Returns the 7-bit index and the quantised gains.
  int QuantizeGain(const double* code, const double* coeff, bool taming, double& gainPitch,
                   double& gainCode);
  bool TamingNeeded(int t0, int frac) const;
  void UpdateExcitationError(double gainPitch, int t0);

  double oldSpeech[kLTotal];                          // pre-processed speech, window-long
  double oldWsp[kLFrame + kPitMax];                   // weighted speech with pitch history
  double oldExc[kLFrame + kPitMax + kLInterpol];      // excitation with pitch history
  double lspOld[kM];                                  // unquantised LSPs of the last frame
  double lspOldQ[kM];                                 // quantised LSPs of the last frame
  double memW[kM];                                    // weighted-speech filter memory
  double memW0[kM];                                   // target filter memory (weighted error)
  double pastEnergy[4];                               // gain predictor memory (dB)
  double excError[4];                                 // taming: error growth per 40 samples
  double sharp;                                       // pitch sharpening (last pitch gain)
  double preX[2];                                     // 140 Hz high-pass: last two inputs
  double preY[2];                                     //   and last two outputs
  LsfPredictorMemory lsfMemory;
  // Correlation matrix of the (sharpened) impulse response for the codebook search, with the
  // pulse signs folded in.
  double rr[kLSubfr][kLSubfr];
};

}  // namespace ve::g729
