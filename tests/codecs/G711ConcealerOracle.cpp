// G711Concealer next to spandsp's packet-loss concealment, the reference it is measured
// against. Built only where pkg-config finds spandsp (tests/codecs/CMakeLists.txt).
#include <gtest/gtest.h>

#include <algorithm>
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
// packets of 10 and 20 ms. Two pitch repeaters differ in pitch search and fading, but should
// mostly agree over the lost packets and neither should be clearly worse.
TEST(G711ConcealerOracle, ConcealsSpeechAboutAsWellAsTheReference) {
  const std::vector<int16_t> speech = ConcealmentSpeech(8.0);
  for (size_t packetSamples : {80u, 160u}) {
    SCOPED_TRACE(packetSamples);
    const LossCase c = SpeechWithLoss(speech, packetSamples);
    const auto clean = LostParts(c.clean, packetSamples, c.lost);
    const auto ours = LostParts(PlayWithLoss(c.clean, packetSamples, c.lost, Fill::kConcealer), packetSamples, c.lost);
    const auto reference = LostParts(PlayWithReference(c.clean, packetSamples, c.lost), packetSamples, c.lost);
    EXPECT_GT(SegmentalSnr(reference, ours), 1.5);
    EXPECT_GT(SegmentalSnr(clean, ours), SegmentalSnr(clean, reference) - 1.0);
    EXPECT_GT(Snr(clean, ours), Snr(clean, reference) - 1.5);
  }
}

}  // namespace
}  // namespace ve::test
