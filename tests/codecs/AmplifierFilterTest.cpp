#include "codecs/AmplifierFilter.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/FilterTestHelpers.h"
#include "support/WavWriter.h"

namespace ve {
namespace {

using test::Cycle;
using test::Int16Bytes;
using test::MakePcm;
using test::Values;

// As constructed, a block passes unchanged (the input itself goes on); gap markers, and when
// amplifying samples wider than 16 bits, are refused.
TEST(AmplifierFilter, ConstructionValuesPassBlocksAndRefusedInputsGiveTheirCodes) {
  AmplifierFilter filter;
  AudioSample* input = MakePcm({5, -7, 100});
  input->AddRef();
  {
    Cycle cycle(filter, {input});
    EXPECT_EQ(cycle.result, 0);
    EXPECT_EQ(cycle.output, input);
    EXPECT_EQ(Values(cycle.output), (std::vector<int16_t>{5, -7, 100}));
  }
  input->Release();
  filter.SetMaximumAmplification(800);
  Cycle gap(filter, {test::MakeGap(kFormatPcm16, 20)});
  EXPECT_EQ(gap.result, -20);
  EXPECT_EQ(gap.output, nullptr);
  AudioSample* wide = MakePcm({1, 2, 3});
  WAVEFORMATEX format = wide->Format();
  format.wBitsPerSample = 24;
  wide->SetFormat(&format);
  Cycle odd(filter, {wide});
  EXPECT_EQ(odd.result, -30);
  EXPECT_EQ(odd.output, nullptr);
}

TEST(AmplifierFilter, BlocksAreScaledByTheGainOfTheirPercentileLevel) {
  const struct {
    const char* what;
    int32_t format;
    double percentile;
    int32_t limit;
    std::vector<uint8_t> in, out;
  } cases[] = {
      // Magnitudes below 128 lie in bin 0: level 1 and the full limit.
      {"tiny", kFormatPcm16, 95.0, 800, Int16Bytes({100, -127, 0, 3}), Int16Bytes({800, -1016, 0, 24})},
      // Full-scale samples count in no bin and do not stop the search; bin 7 does (gain 8).
      {"full scale", kFormatPcm16, 100.0, 800, Int16Bytes({32767, -32768, 32767, -32768, 1000, 1000, -1000, 1000}),
       Int16Bytes({32767, -32767, 32767, -32767, 8000, 8000, -8000, 8000})},
      // Only whole samples are scaled: 100 and -100 double, the odd byte stays.
      {"odd byte", kFormatPcm16, 95.0, 200, {0x64, 0x00, 0x9C, 0xFF, 0x33}, {0xC8, 0x00, 0x38, 0xFF, 0x33}},
      // Standard format 1 has signed 8-bit units: 10 lies in bin 20, the gain 256 / 21 is limited to 8.
      {"8-bit", kFormatALaw, 95.0, 800, {10, 0xF6, 0, 127}, {80, 0xB0, 0, 127}},
  };
  for (const auto& c : cases) {
    AmplifierFilter filter;
    filter.SetPercentile(c.percentile);
    filter.SetMaximumAmplification(c.limit);
    Cycle cycle(filter, {test::MakeBytes(c.format, c.in)});
    ASSERT_EQ(cycle.result, 0) << c.what;
    ASSERT_NE(cycle.output, nullptr) << c.what;
    const uint8_t* d = cycle.output->Data();
    EXPECT_EQ(std::vector<uint8_t>(d, d + cycle.output->DataSize()), c.out) << c.what;
  }
}

TEST(AmplifierFilter, PercentilePicksTheLevel) {
  AmplifierFilter filter;
  filter.SetPercentile(95.0);
  filter.SetMaximumAmplification(10000);
  // 8 of 160 samples (exactly 5 %) in bin 125 do not decide the level: bin 7 does.
  std::vector<int16_t> block(160, 1000);
  for (int i = 0; i < 8; ++i) block[i * 20] = 16000;
  Cycle five(filter, {MakePcm(block)});
  std::vector<int16_t> out = Values(five.output);
  EXPECT_EQ(out[1], 32000);
  EXPECT_EQ(out[0], 32767) << "clipped at full scale";
  // 9 of them (more than 5 %) set the level to 126: gain 256 / 126.
  block[5] = 16000;
  Cycle nine(filter, {MakePcm(block)});
  EXPECT_EQ(Values(nine.output)[1], static_cast<int16_t>(1000 * (256.0 / 126)));
}

}  // namespace
}  // namespace ve
