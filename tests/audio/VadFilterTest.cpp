#include "audio/VadFilter.h"

#include "AudioTestSupport.h"

namespace ve {
namespace {

using test::Cycle;
using test::MakePcm;

// A steady signal (no change from sample to sample) the detector calls silent once its
// starting envelope has decayed and the hangover has run out.
const std::vector<int16_t> kFlat(160, 1700);

// Pushes steady 20 ms samples until one comes out as a gap marker; returns how many it took
// (0 when none did within `limit`).
int32_t SamplesUntilGap(VadFilter& filter, int32_t limit) {
  for (int32_t i = 1; i <= limit; ++i) {
    AudioSample* input = MakePcm(kFlat);
    input->AddRef();
    Cycle cycle(filter, {input});
    EXPECT_EQ(cycle.output, input) << "the filter works in place";
    bool gap = input->DataSize() == 0;
    EXPECT_EQ(gap ? input->SilenceMs() : input->DataSize(), gap ? 20 : 320);
    input->Release();
    if (gap) return i;
  }
  return 0;
}

TEST(VadFilter, SilentSamplesBecomeGapMarkersOnlyAfterPrepare) {
  VadFilter filter;
  EXPECT_EQ(SamplesUntilGap(filter, 100), 0) << "the detector is off until Prepare";
  EXPECT_EQ(filter.Prepare(), 0);
  EXPECT_GT(SamplesUntilGap(filter, 100), 25) << "the first blocks after a reset count as speech";
  filter.Prepare();
  filter.Disable();
  EXPECT_EQ(SamplesUntilGap(filter, 100), 0);
  filter.Enable();
  EXPECT_GT(SamplesUntilGap(filter, 100), 0);
  // A gap marker judged silent has no values, so its length becomes 0 ms.
  Cycle gap(filter, {test::MakeGap(kFormatPcm16, 20)});
  ASSERT_NE(gap.output, nullptr);
  EXPECT_EQ(gap.output->DataSize(), 0);
  EXPECT_EQ(gap.output->SilenceMs(), 0);
}

}  // namespace
}  // namespace ve
