#pragma once

// Signal-processing primitives shared by the G.729 Annex A encoder, decoder and post-filter.
// All work on caller-owned arrays; nothing here keeps state or allocates.

#include <cstdint>

#include "codecs/g729/G729Tables.h"

namespace ve::g729 {

// Sum of x[i]*y[i] for i < n.
double Dot(const double* x, const double* y, int n);

// LP residual y[n] = x[n] + sum_{i=1..10} a[i] x[n-i]; x needs 10 samples of history before it.
void Residu(const double* a, const double* x, double* y, int length);

// All-pole filter 1/A(z): y[n] = x[n] - sum a[i] y[n-i], started from `mem` (the last 10
// outputs, oldest first). y may be x. With `updateMemory` the last 10 outputs go back to mem.
// length is at most kLFrame.
void SynFilt(const double* a, const double* x, double* y, int length, double* mem,
             bool updateMemory);

// y[n] = sum_{i=0..n} x[i] h[n-i], n < length.
void Convolve(const double* x, const double* h, double* y, int length);

// ap[i] = a[i] * gamma^i: the bandwidth-expanded filter A(z/gamma).
void WeightAz(const double* a, double gamma, double* ap);

// Adaptive codebook vector: the past excitation before exc[0], delayed by t0 - frac/3 samples
// with the 1/3-sample interpolator, written to exc[0..length). Reads back as far as
// exc[-(t0 + 11)]; for delays shorter than length it repeats the samples it has just written.
void PredLt3(double* exc, int t0, int frac, int length);

// Predicted fixed-codebook gain from the past quantised energies (dB) and the energy of the
// codevector `code` (one subframe).
double GainPredict(const double* pastEnergy, const double* code);
// Shifts the energy memory and stores 20*log10 of the new gain correction factor.
void GainUpdate(double* pastEnergy, double gainCorrection);

// Next value of the coder's 16-bit pseudo-random sequence (seed * 31821 + 13849, wrapped to
// 16 bits); encoder and decoder draw the same values from the same seed.
int16_t Random16(int16_t& seed);

// Parity bit sent with the first subframe's pitch index (over its six most significant bits).
int PitchParity(int pitchIndex);

// Pitch delay of a subframe from its index. For the second subframe, `t0` holds the first
// subframe's integer delay on entry.
void DecodeLag(int index, int subframe, int& t0, int& frac);

}  // namespace ve::g729
