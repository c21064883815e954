#include "audio/CompressorFilter.h"

#include "AudioTestSupport.h"

#include "codecs/LevelCompressor.h"

namespace ve {
namespace {

const std::vector<int16_t> kLoud = [] {
  std::vector<int16_t> values(160);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int16_t>(i % 2 ? 30000 : -30000);
  return values;
}();

// One block through the filter, which must work in place; `bits` is the format's width.
std::vector<int16_t> Pass(CompressorFilter& filter, uint16_t bits = 16) {
  AudioSample* input = test::MakePcm(kLoud);
  WAVEFORMATEX format = input->Format();
  format.wBitsPerSample = bits;
  input->SetFormat(&format);
  input->AddRef();
  EXPECT_EQ(test::Cycle(filter, {input}).output, input);
  std::vector<int16_t> values = test::Values(input);
  input->Release();
  return values;
}

// Works in place with its compressor's state carried from block to block; SetParameters
// starts that state afresh; a format without a sample width gives no count of values.
TEST(CompressorFilter, CompressesInPlaceLikeItsCompressor) {
  CompressorFilter filter(-8.0, 0.075, -0.00075);
  LevelCompressor reference(-8.0, 0.075, -0.00075);
  std::vector<int16_t> first;
  for (int round = 0; round < 3; ++round) {
    std::vector<int16_t> expected = kLoud;
    reference.Process(expected.data(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(Pass(filter), expected) << round;
    if (round == 0) first = expected;
  }
  EXPECT_NE(first, kLoud) << "loud input is reduced";
  filter.SetParameters(-8.0, 0.075, -0.00075);
  EXPECT_EQ(Pass(filter), first);
  EXPECT_EQ(Pass(filter, 0), kLoud);
}

}  // namespace
}  // namespace ve
