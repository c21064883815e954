// Comfort noise in the sender's pauses: SID frames and the frames not sent, from the reference
// encoder's pause detection, through our decoder and the reference decoder.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "G729Oracle.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

namespace ve::test {
namespace {

// Speech with 1.5 s pauses over low-passed white noise of the given peak.
std::vector<int16_t> SpeechOverNoise(double noisePeak) {
  std::vector<int16_t> pcm = SpeechWithPauses("en-us", 6.0, 1500);
  static const double kTaps[] = {0.25, 0.5, 0.25};
  const std::vector<int16_t> noise = FirFilter(WhiteNoise(pcm.size(), noisePeak, 5), kTaps, 3);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(std::clamp(pcm[i] + noise[i], -32768, 32767));
  return pcm;
}

std::vector<size_t> Range(size_t first, size_t end) {
  std::vector<size_t> frames;
  for (size_t f = first; f < end; ++f) frames.push_back(f);
  return frames;
}

// Three background levels. With one frame in ten lost (but not a pause's first SID: the
// reference decoder cannot tell a frame not sent from a lost one, and conceals what follows
// as speech), each pause of ours has the reference's level and the background's, and follows
// the reference's noise sample by sample: the same envelope, level smoothing and random
// sequence. With each pause's first SID lost, ours takes the last speech frame's envelope and
// excitation level until the next SID: coded noise comes out 2-3 dB under its input, and so
// does this.
TEST(G729ComfortNoise, PausesSoundLikeTheReferenceAndTheBackground) {
  for (double noisePeak : {300.0, 1000.0, 3000.0}) {
    const std::vector<int16_t> pcm = SpeechOverNoise(noisePeak);
    ASSERT_GT(pcm.size(), 8000u) << "espeak-ng/sox missing?";
    const std::vector<ReceivedFrame> frames = OracleEncodeWithPauses(pcm);
    std::vector<ReceivedFrame> lossy = frames, sidLost = frames;
    for (size_t f : SingleLosses(frames.size(), 5)) {
      lossy[f].lost = frames[f].bytes.size() != 2 || frames[f - 1].bytes.size() != kG729FrameBytes;
    }
    const std::vector<int16_t> ours = OwnDecode(lossy), theirs = OracleDecode(lossy), reference = OracleDecode(frames);
    ASSERT_EQ(ours.size(), theirs.size());
    int pauses = 0;
    for (size_t first = 1; first < frames.size(); ++first) {
      size_t end = first, nextSid = first + 1;
      while (end < frames.size() && frames[end].bytes.size() != kG729FrameBytes) ++end;
      while (nextSid < end && frames[nextSid].bytes.empty()) ++nextSid;
      if (frames[first].bytes.size() != 2 || end - first < 10) continue;
      ++pauses;
      sidLost[first].lost = true;
      const std::vector<size_t> settled = Range(first + 2, end), beforeNextSid = Range(first + 1, nextSid);
      const std::vector<int16_t> oursSettled = PickFrames(ours, settled), theirsSettled = PickFrames(theirs, settled);
      EXPECT_NEAR(PowerDb(oursSettled), PowerDb(theirsSettled), 3.0) << noisePeak << " " << first;
      EXPECT_NEAR(PowerDb(oursSettled), PowerDb(PickFrames(pcm, settled)), 3.0) << noisePeak << " " << first;
      EXPECT_GE(SegmentalSnr(theirsSettled, oursSettled, 0, 1.0), 20.0) << noisePeak << " " << first;
      EXPECT_NEAR(PowerDb(PickFrames(OwnDecode(sidLost), beforeNextSid)), PowerDb(PickFrames(reference, beforeNextSid)), 5.0)
          << noisePeak << " " << first;
    }
    EXPECT_GT(pauses, 0) << noisePeak;
  }
}

// Two SIDs 60 ms apart with every predictor bit and LSF index pair, then every level: the SID
// codebook rows and predictors, and the level table, as the reference reads them. The
// waveforms agree to 16 dB or better (a wrong row or predictor gives another spectrum and
// about 0 dB); the levels within 1 dB, except the lowest, which the reference plays as
// silence and ours under one step of the samples.
TEST(G729ComfortNoise, EverySidIndexDecodesAsTheReferenceDecodesIt) {
  auto twoSids = [](int word) {
    std::vector<ReceivedFrame> stream(12);
    stream[0].bytes = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF)};
    stream[6].bytes = stream[0].bytes;
    return stream;
  };
  for (int lsf = 0; lsf < (1 << 10); ++lsf) {
    const std::vector<ReceivedFrame> stream = twoSids((lsf << 6) | (20 << 1));
    EXPECT_GE(Snr(OracleDecode(stream), OwnDecode(stream)), 10.0)
        << "predictor " << (lsf >> 9) << ", indices " << ((lsf >> 4) & 31) << " " << (lsf & 15);
  }
  for (int level = 0; level < 32; ++level) {
    const std::vector<ReceivedFrame> stream = twoSids((0x1234 & ~0x3F) | (level << 1));
    const double ours = PowerDb(OwnDecode(stream));
    if (level == 0) {
      EXPECT_LT(ours, 0.0);
    } else {
      EXPECT_NEAR(ours, PowerDb(OracleDecode(stream)), 1.0) << level;
    }
  }
}

}  // namespace
}  // namespace ve::test
