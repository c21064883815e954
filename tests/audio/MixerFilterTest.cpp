#include "audio/MixerFilter.h"

#include "AudioTestSupport.h"

namespace ve {
namespace {

using test::Cycle;
using test::MakeGap;
using test::MakePcm;
using test::Values;

// Inputs of different lengths mix to the longest; sums are clamped both ways; gap markers mix
// to the longest gap.
TEST(MixerFilter, SumsRunToTheLongestInputAndAreClampedAndGapsToTheLongestGap) {
  MixerFilter mixer;
  Cycle cycle(mixer, {MakePcm({1, -1}), MakePcm({30000, -30000, 100, 5}), MakePcm({10000, -10000, -300})});
  EXPECT_EQ(Values(cycle.output), (std::vector<int16_t>{32767, -32768, -200, 5}));
  EXPECT_EQ(cycle.output->SilenceMs(), 0);
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
