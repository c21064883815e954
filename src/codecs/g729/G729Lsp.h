#pragma once

// Line spectral pairs of the G.729 Annex A coder: conversion between LP coefficients and LSPs,
// and the switched-MA-predicted two-stage LSF quantiser with its decoder.

#include "codecs/g729/G729Tables.h"

namespace ve::g729 {

// The quantiser's memory: the last four quantised codebook vectors (LSF residuals), newest
// first. Encoder and decoder each keep one; they stay equal as long as no bits are lost. The
// decoder's also remembers the last received LSFs and predictor, to repeat them for a lost frame.
class LsfPredictorMemory {
 public:
  LsfPredictorMemory() { Reset(); }
  void Reset();

  // Encoder: quantises the LSPs `lsp` (cosine domain) into `lspQ` and the two indices
  // (L0|L1 in 8 bits, L2|L3 in 10 bits).
  void Quantize(const double* lsp, double* lspQ, int* indices);
  // Decoder: rebuilds the quantised LSPs from the two indices.
  void Decode(int index0, int index1, double* lspQ);
  // Decoder, lost frame: repeats the LSPs of the last decoded frame and stores the codebook
  // vector that would have given them under that frame's predictor, so that the prediction
  // goes on from what was played.
  void Conceal(double* lspQ);
  // Decoder, SID frame: the comfort-noise LSPs from the predictor bit and the 5-bit and 4-bit
  // codebook indices. The SID codebooks are subsets of the speech ones and the predictors
  // weaker; the vector joins the same memory, so speech after a pause predicts from the noise.
  void DecodeSid(int mode, int index1, int index2, double* lspQ);

 private:
  // Rebuilds the LSFs of one codebook choice, stores its vector in the memory and makes the
  // result stable.
  void Reconstruct(int mode, int code0, int code1, int code2, double* lsfQ);
  void Push(const double* vector);

  double freqPrev[kMaNp][kM];
  double lastLsf[kM];  // LSFs of the last decoded speech frame
  int lastMode;        // and its predictor
};

// LP coefficients a[0..10] to LSPs by the sign changes of the two LSP polynomials on the
// search grid. Falls back to `oldLsp` when fewer than ten roots are found (an unstable filter).
void AzToLsp(const double* a, double* lsp, const double* oldLsp);
// LSPs to LP coefficients a[0..10].
void LspToAz(const double* lsp, double* a);
// LP filters of the two subframes: the midpoint of the old and new LSPs, then the new LSPs.
// az holds 2 * kMp1 coefficients.
void InterpolateLpc(const double* lspOld, const double* lspNew, double* az);

}  // namespace ve::g729
