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

// Works in place with its compressor's state carried from block to block; SetParameters
// starts that state afresh.
TEST(CompressorFilter, CompressesInPlaceLikeItsCompressor) {
  CompressorFilter filter(-8.0, 0.075, -0.00075);
  LevelCompressor reference(-8.0, 0.075, -0.00075);
  std::vector<int16_t> firstPass;
  for (int round = 0; round < 4; ++round) {
    if (round == 3) filter.SetParameters(-8.0, 0.075, -0.00075);
    std::vector<int16_t> expected = round == 3 ? firstPass : Loud();
    if (round < 3) reference.Process(expected.data(), static_cast<int32_t>(expected.size()));
    AudioSample* input = MakePcm(Loud());
    input->AddRef();
    EXPECT_EQ(Cycle(filter, {input}).output, input);
    EXPECT_EQ(Values(input), expected) << round;
    input->Release();
    if (round == 0) firstPass = expected;
  }
  EXPECT_NE(firstPass, Loud()) << "loud input is reduced";
  // A format without a sample width gives no count of values: the audio is left alone.
  AudioSample* odd = MakePcm(Loud());
  WAVEFORMATEX format = odd->Format();
  format.wBitsPerSample = 0;
  odd->SetFormat(&format);
  odd->AddRef();
  Cycle(filter, {odd});
  EXPECT_EQ(Values(odd), Loud());
  odd->Release();
}

}  // namespace
}  // namespace ve
