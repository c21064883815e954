#include "framework/VolumeFilter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "framework/AudioSample.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

// The filter's output for one sample holding `values` (in place: the same sample comes out);
// no values: an empty list; a null sample: a list holding null.
std::vector<int16_t> Scale(int32_t level, std::vector<int16_t> values, bool nullSample = false) {
  VolumeFilter filter;
  filter.SetLevel(level);
  SampleList list;
  AudioSample* in = nullptr;
  if (!values.empty() && !nullSample) {
    in = test::MakeSample(0);
    std::memcpy(in->Data(), values.data(), values.size() * 2);
    in->SetDataSize(static_cast<int32_t>(values.size() * 2));
  }
  if (!values.empty()) list.Add(in, nullptr);
  AudioSample* out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(filter.Transform(&list, &out), 0);
  EXPECT_EQ(out, in);
  std::vector<int16_t> result(out != nullptr ? values.size() : 0);
  if (out != nullptr) {
    std::memcpy(result.data(), out->Data(), result.size() * 2);
    out->Release();
  }
  list.ReleaseAll();
  return result;
}

TEST(VolumeFilter, ScalesInPlaceBySquaredLevelTruncatingTowardZero) {
  EXPECT_EQ(Scale(50, {1000, -1000, 3, -3, 32767, -32768}), (std::vector<int16_t>{250, -250, 0, 0, 8191, -8192}));
  EXPECT_EQ(Scale(100, {1000, -32768, 32767}), (std::vector<int16_t>{1000, -32768, 32767}));
  EXPECT_EQ(Scale(150, {1000}), (std::vector<int16_t>{1000})) << "levels clamp to 100";
  EXPECT_EQ(Scale(-5, {1000}), (std::vector<int16_t>{0}));
  EXPECT_TRUE(Scale(50, {}).empty()) << "an empty list gives nothing";
  EXPECT_TRUE(Scale(50, {1000}, true).empty()) << "a null sample gives nothing";
}

}  // namespace
}  // namespace ve
