#include "codecs/AmplifierFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "framework/AudioSample.h"
#include "framework/SampleList.h"
#include "rtp/Exception.h"

namespace ve {

int32_t AmplifierFilter::SetPercentile(double value) {
  percentile = value < 0.0 ? 0.0 : (value > 100.0 ? 100.0 : value);
  return 0;
}

int32_t AmplifierFilter::SetMaximumAmplification(int32_t value) {
  maximumAmplification = value < 100 ? 100 : value;
  return 0;
}

template <typename T>
void AmplifierFilter::Amplify(uint8_t* data, int32_t n, double fullScale) {
  if (n <= 0) return;  // no whole sample: nothing to measure or scale
  histogram.fill(0);
  for (int32_t i = 0; i < n; ++i) {
    T s;
    std::memcpy(&s, data + i * sizeof(T), sizeof s);
    // Magnitudes at or beyond full scale fall into no bin but still count in n.
    const double bin = std::fabs(static_cast<double>(s)) / fullScale * 256.0;
    if (bin < 256.0) ++histogram[static_cast<size_t>(bin)];
  }

  int32_t level = 0;
  uint32_t atOrAbove = 0;
  for (int32_t b = 255; b >= 0; --b) {
    atOrAbove += histogram[b];
    const double below = static_cast<double>(n - static_cast<int64_t>(atOrAbove)) / n * 100.0;
    if (below < percentile) {
      level = b + 1;
      break;
    }
  }

  const double limit = maximumAmplification / 100.0;
  const double gain = level == 0 ? limit : std::min(256.0 / level, limit);
  for (int32_t i = 0; i < n; ++i) {
    T s;
    std::memcpy(&s, data + i * sizeof(T), sizeof s);
    double y = s * gain;
    if (y > fullScale) y = fullScale;
    if (y < -fullScale) y = -fullScale;
    const T result = static_cast<T>(y);
    std::memcpy(data + i * sizeof(T), &result, sizeof result);
  }
}

int32_t AmplifierFilter::Transform(SampleList* inputs, AudioSample** out) {
  *out = nullptr;
  try {
    AudioSample* input = inputs->First();
    if (input == nullptr) throw Exception(-10, "inSample = NULL");
    if (input->DataSize() < 1) throw Exception(-20, "inSample->DataSize is %d\n", input->DataSize());
    if (maximumAmplification <= 100) {
      input->AddRef();
      *out = input;
      throw Exception(0, "maximumAmplification is %d\n", maximumAmplification);
    }
    const int32_t bits = input->Format().wBitsPerSample;
    const int32_t size = std::min(input->DataSize(), input->Capacity());
    switch (bits) {
      case 8:
        Amplify<int8_t>(input->Data(), size, std::numeric_limits<int8_t>::max());
        break;
      case 16:
        Amplify<int16_t>(input->Data(), size / 2, std::numeric_limits<int16_t>::max());
        break;
      case 32:
        Amplify<int32_t>(input->Data(), size / 4, std::numeric_limits<int32_t>::max());
        break;
      default:
        throw Exception(-30, "sample audioformat wBitsPerSample = %d", bits);
    }
    input->AddRef();
    *out = input;
    return 0;
  } catch (const Exception& e) {
    return e.Code();
  }
}

}  // namespace ve
