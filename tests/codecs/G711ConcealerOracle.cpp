// G711Concealer next to spandsp's packet-loss concealment, the reference it is measured
// against. Built only where pkg-config finds spandsp (tests/codecs/CMakeLists.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <spandsp.h>

#include "ConcealmentSignals.h"
#include "support/SignalTools.h"

namespace ve::test {
namespace {

std::vector<int16_t> PlayWithReference(const std::vector<int16_t>& speech, size_t packetSamples,
                                       const std::vector<bool>& lost) {
  std::vector<int16_t> out(speech.size(), 0);
  plc_state_t* plc = plc_init(nullptr);
  for (size_t p = 0; p < lost.size(); ++p) {
    int16_t* block = out.data() + p * packetSamples;
    const int n = static_cast<int>(packetSamples);
    if (lost[p]) {
      plc_fillin(plc, block, n);
    } else {
      std::copy_n(speech.data() + p * packetSamples, packetSamples, block);
      plc_rx(plc, block, n);
    }
  }
  plc_free(plc);
  return out;
}

// Speech with 5 % of the packets lost one at a time and one 60 ms burst in loud speech, for
// packets of 10 and 20 ms. Prints the figures of both concealers, silence and repetition.
TEST(G711ConcealerOracle, ConcealsSpeechAboutAsWellAsTheReference) {
  bool spoken = false;
  const std::vector<int16_t> speech = ConcealmentSpeech(8.0, &spoken);
  for (size_t packetSamples : {80u, 160u}) {
    const size_t packets = speech.size() / packetSamples;
    const std::vector<int16_t> clean(speech.begin(), speech.begin() + packets * packetSamples);
    const size_t burst = 480 / packetSamples;
    const std::vector<bool> lost =
        LossPattern(packets, 0.05, LoudestRunStart(clean, packetSamples, burst, 20), burst);

    const std::vector<int16_t> ours = PlayWithLoss(clean, packetSamples, lost, Fill::kConcealer);
    const std::vector<int16_t> reference = PlayWithReference(clean, packetSamples, lost);
    const std::vector<int16_t> silence = PlayWithLoss(clean, packetSamples, lost, Fill::kSilence);
    const std::vector<int16_t> repeat = PlayWithLoss(clean, packetSamples, lost, Fill::kRepeat);

    const auto cleanLost = LostParts(clean, packetSamples, lost);
    const auto oursLost = LostParts(ours, packetSamples, lost);
    const auto referenceLost = LostParts(reference, packetSamples, lost);
    const double oursSeg = SegmentalSnr(cleanLost, oursLost);
    const double referenceSeg = SegmentalSnr(cleanLost, referenceLost);
    const double silenceSeg = SegmentalSnr(cleanLost, LostParts(silence, packetSamples, lost));
    const double repeatSeg = SegmentalSnr(cleanLost, LostParts(repeat, packetSamples, lost));
    const double agreementLost = SegmentalSnr(referenceLost, oursLost);
    const double agreementAll = SegmentalSnr(reference, ours);
    std::printf("%s, %zu-sample packets, %zu of %zu lost\n", spoken ? "speech" : "synthetic vowels",
                packetSamples, static_cast<size_t>(std::count(lost.begin(), lost.end(), true)), packets);
    std::printf("  seg. SNR against clean over the lost packets: ours %.2f dB, reference %.2f dB, "
                "silence %.2f dB, repetition %.2f dB\n", oursSeg, referenceSeg, silenceSeg, repeatSeg);
    std::printf("  SNR against clean over the lost packets: ours %.2f dB, reference %.2f dB, "
                "silence %.2f dB, repetition %.2f dB\n", Snr(cleanLost, oursLost), Snr(cleanLost, referenceLost),
                Snr(cleanLost, LostParts(silence, packetSamples, lost)), Snr(cleanLost, LostParts(repeat, packetSamples, lost)));
    std::printf("  SNR against clean overall: ours %.2f dB, reference %.2f dB, silence %.2f dB, repetition %.2f dB\n",
                Snr(clean, ours), Snr(clean, reference), Snr(clean, silence), Snr(clean, repeat));
    std::printf("  ours against the reference: seg. SNR %.2f dB over the lost packets, %.2f dB overall\n",
                agreementLost, agreementAll);
    // Two pitch repeaters differ in pitch search and fading, but should mostly agree and
    // neither should be clearly worse.
    EXPECT_GT(agreementLost, 1.5);
    EXPECT_GT(oursSeg, referenceSeg - 1.0);
    EXPECT_GT(Snr(cleanLost, oursLost), Snr(cleanLost, referenceLost) - 1.5);
  }
}

}  // namespace
}  // namespace ve::test
