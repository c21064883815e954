#include "audio/MixerFilter.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/FilterTestHelpers.h"

namespace ve {
namespace {

using test::Cycle;
using test::MakeGap;
using test::MakePcm;
using test::Values;

TEST(MixerFilter, OneInputPassesThroughItself) {
  MixerFilter mixer;
  AudioSample* input = MakePcm({1, 2, 3});
  input->AddRef();
  {
    Cycle cycle(mixer, {nullptr, input, nullptr});
    EXPECT_EQ(cycle.result, 0);
    EXPECT_EQ(cycle.output, input);
  }
  input->Release();
  Cycle none(mixer, {nullptr});
  EXPECT_EQ(none.output, nullptr);
}

TEST(MixerFilter, InputsOfDifferentLengthsMixToTheLongest) {
  std::vector<int16_t> longer(160);
  std::vector<int16_t> shorter(80);
  for (int i = 0; i < 160; ++i) longer[i] = static_cast<int16_t>(i * 10);
  for (int i = 0; i < 80; ++i) shorter[i] = static_cast<int16_t>(-i);
  MixerFilter mixer;
  Cycle cycle(mixer, {MakePcm(shorter), MakePcm(longer)});
  ASSERT_NE(cycle.output, nullptr);
  std::vector<int16_t> mixed = Values(cycle.output);
  ASSERT_EQ(mixed.size(), 160u);
  for (int i = 0; i < 160; ++i) EXPECT_EQ(mixed[i], i < 80 ? i * 9 : i * 10) << i;
  EXPECT_EQ(cycle.output->SilenceMs(), 0);
  EXPECT_EQ(cycle.output->Format().wFormatTag, WAVE_FORMAT_PCM);
}

TEST(MixerFilter, SumsAreClampedBothWays) {
  MixerFilter mixer;
  Cycle cycle(mixer, {MakePcm({30000, -30000, 100}), MakePcm({10000, -10000, -300}), MakePcm({1, -1, 0})});
  EXPECT_EQ(Values(cycle.output), (std::vector<int16_t>{32767, -32768, -200}));
}

TEST(MixerFilter, GapMarkersMixToTheLongestGap) {
  MixerFilter mixer;
  Cycle gaps(mixer, {MakeGap(kFormatPcm16, 20), MakeGap(kFormatPcm16, 30)});
  ASSERT_NE(gaps.output, nullptr);
  EXPECT_EQ(gaps.output->DataSize(), 0);
  EXPECT_EQ(gaps.output->SilenceMs(), 30);
  // Audio beside a gap wins: the gap adds nothing and the result is not silent.
  Cycle mixed(mixer, {MakeGap(kFormatPcm16, 20), MakePcm({7, 8})});
  EXPECT_EQ(Values(mixed.output), (std::vector<int16_t>{7, 8}));
  EXPECT_EQ(mixed.output->SilenceMs(), 0);
}

}  // namespace
}  // namespace ve
