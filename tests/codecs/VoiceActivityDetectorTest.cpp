#include "codecs/VoiceActivityDetector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace ve {
namespace {

constexpr int32_t kBlock = VoiceActivityDetector::kBlockSamples;

// A detector fed a constant signal equal to its starting previous sample sees a first
// difference of 0, so its envelope only decays: by e >> 6 on the first sample (it starts
// rising), then by e >> 9 per sample. A twin that was never reset finds no silence at all.
TEST(VoiceActivityDetector, SpeechIsHeldFor4000SamplesAfterTheLastSpeechBlockAndNeverBeforeReset) {
  // The last block whose starting (largest) envelope lies more than the 10 dB margin above
  // the -74 dB starting floor: e > 855.
  uint32_t e = 10000;
  int32_t lastSpeechBlock = -1;
  for (int32_t block = 0; block < 200; ++block) {
    if (e > 855) lastSpeechBlock = block;
    for (int32_t i = 0; i < kBlock; ++i) e -= (block == 0 && i == 0) ? e >> 6 : e >> 9;
  }
  ASSERT_GT(lastSpeechBlock, 0);

  VoiceActivityDetector detector, idle;
  detector.Reset();
  std::vector<int16_t> flat(kBlock, 1700);
  int32_t firstSilentBlock = -1;
  for (int32_t block = 0; block < 200; ++block) {
    int32_t silent = detector.IsSilent(flat.data(), kBlock);
    if (silent == 1 && firstSilentBlock < 0) firstSilentBlock = block;
    if (firstSilentBlock >= 0) {
      EXPECT_EQ(silent, 1) << "silence stays once found, block " << block;
    }
    EXPECT_EQ(idle.IsSilent(flat.data(), kBlock), 0) << block;
  }
  // 100 further blocks (4000 samples) still count as speech; the 101st does not.
  EXPECT_EQ(firstSilentBlock, lastSpeechBlock + 101);
}

TEST(VoiceActivityDetector, EveryBlockOfALongInputIsProcessed) {
  // One detector takes 95 samples at once, its twin blocks of 40, 40 and 15: both must end in
  // the same state, so they answer alike from then on.
  std::vector<int16_t> burst(95);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<int16_t>(i % 2 ? 9000 : -9000);
  VoiceActivityDetector whole, blocks;
  whole.Reset();
  blocks.Reset();
  EXPECT_EQ(whole.IsSilent(burst.data(), 95), 0);
  for (int32_t at : {0, 40, 80}) blocks.IsSilent(burst.data() + at, std::min(kBlock, 95 - at));

  std::vector<int16_t> flat(kBlock, -9000);
  int32_t silentAnswers = 0;
  for (int32_t block = 0; block < 400; ++block) {
    int32_t answer = whole.IsSilent(flat.data(), kBlock);
    ASSERT_EQ(answer, blocks.IsSilent(flat.data(), kBlock)) << "block " << block;
    silentAnswers += answer;
  }
  EXPECT_GT(silentAnswers, 0) << "the run reaches silence, so the comparison covers the switch";
  EXPECT_EQ(whole.IsSilent(flat.data(), 0), 1) << "no block of an empty input holds speech";
}

}  // namespace
}  // namespace ve
