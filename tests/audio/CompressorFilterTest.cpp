#include "audio/CompressorFilter.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/FilterTestHelpers.h"
#include "codecs/LevelCompressor.h"

namespace ve {
namespace {

using test::Cycle;
using test::MakePcm;
using test::Values;

std::vector<int16_t> Loud() {
  std::vector<int16_t> values(160);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int16_t>(i % 2 ? 30000 : -30000);
  return values;
}

TEST(CompressorFilter, CompressesInPlaceLikeItsCompressor) {
  CompressorFilter filter(-8.0, 0.075, -0.00075);
  LevelCompressor reference(-8.0, 0.075, -0.00075);
  for (int round = 0; round < 3; ++round) {
    std::vector<int16_t> expected = Loud();
    reference.Process(expected.data(), static_cast<int32_t>(expected.size()));
    AudioSample* input = MakePcm(Loud());
    input->AddRef();
    {
      Cycle cycle(filter, {input});
      EXPECT_EQ(cycle.output, input);
      EXPECT_EQ(Values(input), expected) << round;
    }
    input->Release();
  }
}

TEST(CompressorFilter, SetParametersStartsAfresh) {
  CompressorFilter filter(-8.0, 0.075, -0.00075);
  Cycle warmUp(filter, {MakePcm(Loud())});
  std::vector<int16_t> firstPass = Values(warmUp.output);
  filter.SetParameters(-8.0, 0.075, -0.00075);
  Cycle again(filter, {MakePcm(Loud())});
  EXPECT_EQ(Values(again.output), firstPass);
  EXPECT_NE(firstPass, Loud()) << "loud input is reduced";
}

}  // namespace
}  // namespace ve
