// Interoperability of our G.729 Annex A coder with an independent implementation: decoder,
// encoder and our own pair, each against the reference.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "G729Oracle.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

namespace ve::test {
namespace {

struct TestSignal {
  std::string name;
  std::vector<int16_t> pcm;
  bool speech;
};

// The signal set: three voices of speech with pauses, white noise, a sweep and loud speech
// clipped at full scale. A few seconds each keep the run short.
std::vector<TestSignal> Signals() {
  return {{"speech en-us", SpeechWithPauses("en-us", 4.0), true},
          {"speech en-gb+f3", SpeechWithPauses("en-gb+f3", 4.0), true},
          {"speech de+m3", SpeechWithPauses("de+m3", 4.0), true},
          {"white noise", WhiteNoise(16000, 6000.0), false},
          {"sweep", Sweep(16000, 100.0, 3800.0, 12000.0), false},
          {"loud clipped", Amplify(SpeechWithPauses("en-us+m2", 3.0), 8.0), false}};
}

// Segmental SNR of a coded version of `input` after aligning it by cross-correlation.
double CodedQuality(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded) {
  return SegmentalSnr(input, decoded, BestLag(input, decoded, 160));
}

// Our decoder on the reference's bitstream against the reference decoder (at least 18 dB);
// our encoder through the reference decoder, and our own pair, against the reference pair: no
// signal more than 1 dB worse, on average no more than 0.5 dB.
TEST(G729Interop, OwnDecoderEncoderAndPairMatchTheReference) {
  double speechSum = 0.0, encoderDiffSum = 0.0, pairDiffSum = 0.0;
  int speechCount = 0;
  const std::vector<TestSignal> signals = Signals();
  for (const auto& s : signals) {
    ASSERT_GT(s.pcm.size(), 8000u) << s.name << ": espeak-ng/sox missing?";
    const std::vector<uint8_t> bits = OracleEncode(s.pcm);
    const std::vector<int16_t> reference = OracleDecode(bits);
    const std::vector<int16_t> ours = OwnDecode(bits);
    ASSERT_EQ(reference.size(), ours.size());
    const double snr = Snr(reference, ours);
    std::printf("[decoder] %-16s our vs reference decoder: SNR %5.1f dB\n", s.name.c_str(), snr);
    EXPECT_GE(snr, 18.0) << s.name;
    if (s.speech) {
      speechSum += snr;
      ++speechCount;
    }

    const std::vector<uint8_t> ownBits = OwnEncode(s.pcm);
    const double theirs = CodedQuality(s.pcm, reference);
    const double encoder = CodedQuality(s.pcm, OracleDecode(ownBits));
    const double pair = CodedQuality(s.pcm, OwnDecode(ownBits));
    std::printf("[encoder] %-16s segSNR reference enc %5.2f dB, our enc %5.2f dB (%+.2f)\n",
                s.name.c_str(), theirs, encoder, encoder - theirs);
    std::printf("[own pair] %-16s segSNR reference pair %5.2f dB, our pair %5.2f dB (%+.2f)\n",
                s.name.c_str(), theirs, pair, pair - theirs);
    EXPECT_GE(encoder, theirs - 1.0) << s.name;
    EXPECT_GE(pair, theirs - 1.0) << s.name;
    encoderDiffSum += encoder - theirs;
    pairDiffSum += pair - theirs;
  }
  const double n = static_cast<double>(signals.size());
  std::printf("[decoder] speech mean SNR %.1f dB\n", speechSum / speechCount);
  std::printf("[encoder] mean difference %+.2f dB\n[own pair] mean difference %+.2f dB\n", encoderDiffSum / n,
              pairDiffSum / n);
  EXPECT_GE(encoderDiffSum / n, -0.5);
  EXPECT_GE(pairDiffSum / n, -0.5);
}

}  // namespace
}  // namespace ve::test
