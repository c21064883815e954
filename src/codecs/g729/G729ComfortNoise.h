#pragma once

// Comfort noise of the G.729 decoder while the sender pauses. A SID frame carries the
// background noise's spectral envelope (as LSPs, decoded by the caller) and its level; the
// decoder makes noise of that envelope and level until speech resumes, going on with the last
// SID's values through the frames that are not sent. The level glides towards a new SID's
// value rather than jumping, except at the first SID after speech.
//
// The excitation copies the sender's: a random adaptive-codebook part (delay 40..103, gain
// below 0.5), Gaussian noise carrying a quarter of the energy and four random pulses whose
// amplitude brings each 5 ms subframe to the target energy, all drawn from one pseudo-random
// sequence that restarts with every speech frame, as the sender's does.
//
// Threads: owned by one decoder and used only by the thread that decodes with it.

#include <cstdint>

#include "codecs/g729/G729Tables.h"

namespace ve::g729 {

class G729ComfortNoise {
 public:
  G729ComfortNoise() { Reset(); }
  void Reset();

  // A speech frame was decoded: the next pause starts its noise afresh.
  void RestartSequence();
  // A SID frame with its 5-bit level index and decoded LSPs. `afterSpeech`: the frame before
  // it was speech.
  void Sid(int levelIndex, const double* lsp, bool afterSpeech);
  // A pause frame without a SID. After speech (the pause's first SID was lost), the noise
  // takes the last speech frame's envelope `speechLsp` and, as its level, the SID level
  // nearest to the RMS of that frame's excitation, whose energy is `speechEnergy`: the sender
  // goes on sending speech frames for a while after the talker stops, so the last ones carry
  // the background noise.
  void NoSid(bool afterSpeech, double speechEnergy, const double* speechLsp);

  // 80 samples of excitation at the current level. `exc` needs kPitMax + kLInterpol samples
  // of past excitation before it.
  void Excitation(double* exc);
  // The LSPs of the last SID frame.
  const double* Lsp() const { return lsp; }

 private:
  double sidLevel;  // excitation RMS the last SID asked for
  double level;     // the level in use, smoothed towards sidLevel
  double lsp[kM];
  int16_t seed;
};

}  // namespace ve::g729
