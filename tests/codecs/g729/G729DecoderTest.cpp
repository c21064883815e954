// Decoder behaviour beyond interoperability: arbitrary frames never break it, and a bad pitch
// parity is concealed rather than rejected.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "G729Oracle.h"
#include "codecs/g729/G729Bitstream.h"
#include "codecs/g729/G729Dsp.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

namespace ve::test {
namespace {

// A frame with the largest pitch gain and the shortest delay in both subframes: the worst
// case for growth of the excitation.
std::vector<uint8_t> MaximumGainFrame() {
  int params[g729::kParamCount] = {};
  params[0] = 3;  // some LSP codebook entry; both delays (2 and 7) stay 0, the shortest
  params[3] = g729::PitchParity(0);
  params[6] = 5;  // GA 0 / GB 5: the largest pitch gain of the codebook
  params[10] = 5;
  std::vector<uint8_t> frame(g729::kFrameBytes);
  g729::PackFrame(params, frame.data());
  return frame;
}

// Output of `codec` on `speech` after it has decoded `garbage`, compared with a fresh decoder
// on the same speech from 0.5 s on.
double RecoverySnr(const std::vector<uint8_t>& garbage, const std::vector<uint8_t>& speech) {
  G729Codec dirty;
  const std::vector<int16_t> noise = OwnDecode(dirty, garbage);
  EXPECT_EQ(noise.size(), garbage.size() / 10 * 80);
  const std::vector<int16_t> recovered = OwnDecode(dirty, speech);
  const std::vector<int16_t> fresh = OwnDecode(speech);
  const std::vector<int16_t> a(fresh.begin() + 4000, fresh.end());
  const std::vector<int16_t> b(recovered.begin() + 4000, recovered.end());
  return Snr(a, b);
}

TEST(G729Decoder, ArbitraryFramesLeaveNoLastingDamageAndABadParityIsConcealed) {
  const std::vector<int16_t> pcm = SpeechWithPauses("en-us", 3.0);
  ASSERT_FALSE(pcm.empty()) << "espeak-ng/sox missing?";
  const std::vector<uint8_t> speech = OracleEncode(pcm);

  std::mt19937 random(7);
  std::vector<uint8_t> noise(20000);  // 2000 random frames, 20 s
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  const double afterRandom = RecoverySnr(noise, speech);

  std::vector<uint8_t> worst;  // 20 s of the maximum-gain frame
  const std::vector<uint8_t> frame = MaximumGainFrame();
  for (int i = 0; i < 2000; ++i) worst.insert(worst.end(), frame.begin(), frame.end());
  const double afterWorst = RecoverySnr(worst, speech);

  std::printf("[robustness] recovery SNR after random frames %.1f dB, after maximum-gain frames %.1f dB\n",
              afterRandom, afterWorst);
  EXPECT_GE(afterRandom, 30.0);
  EXPECT_GE(afterWorst, 30.0);

  // Flip the parity bit of one voiced frame in the middle: the pitch of that frame is
  // replaced, and both decoders treat it the same way.
  const size_t victim = speech.size() / 2 / 10 * 10;
  std::vector<uint8_t> damaged = speech;
  damaged[victim + 3] ^= 0x20;  // P0 is bit 26 of the frame
  int params[g729::kParamCount];
  g729::UnpackFrame(&damaged[victim], params);
  ASSERT_NE(g729::PitchParity(params[2]), params[3]);
  const std::vector<int16_t> ours = OwnDecode(damaged);
  EXPECT_NE(ours, OwnDecode(speech));
  EXPECT_GE(Snr(OracleDecode(damaged), ours), 18.0);
}

}  // namespace
}  // namespace ve::test
