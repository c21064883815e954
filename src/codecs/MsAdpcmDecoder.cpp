#include "codecs/MsAdpcmDecoder.h"

#include <algorithm>

namespace ve {

namespace {

constexpr int32_t kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};
constexpr int32_t kMinStep = 16;
// Well above any step a real encoder reaches; keeps corrupt blocks from overflowing.
constexpr int64_t kMaxStep = 1 << 24;
constexpr uint32_t kMaxCoefficients = 256;

int16_t ReadI16(const uint8_t* p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }

}  // namespace

MsAdpcmDecoder::MsAdpcmDecoder(uint16_t channelCount, uint32_t bytesPerBlock, uint32_t framesInBlock,
                               std::vector<Coefficients> table)
    : FormatDecoder(channelCount, bytesPerBlock, framesInBlock), coefficients(std::move(table)) {}

std::unique_ptr<FormatDecoder> MsAdpcmDecoder::Create(const FormatView& view) {
  uint32_t headers = 7u * view.channels;
  if ((view.bits != 4 && view.bits != 0) || view.blockAlign < headers) return nullptr;
  // Two samples in the header, then two per byte.
  uint32_t frames = (view.blockAlign - headers) * 2 / view.channels + 2;
  std::vector<Coefficients> table = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};
  if (view.extraSize >= 4) {
    uint32_t declared = view.extra[0] | (view.extra[1] << 8);
    if (declared >= 2 && declared <= frames) frames = declared;
    uint32_t count = view.extra[2] | (view.extra[3] << 8);
    if (count >= 1 && count <= kMaxCoefficients && view.extraSize >= 4 + 4 * count) {
      table.clear();
      for (uint32_t i = 0; i < count; ++i) {
        table.push_back({ReadI16(view.extra + 4 + 4 * i), ReadI16(view.extra + 6 + 4 * i)});
      }
    }
  }
  return std::unique_ptr<FormatDecoder>(new MsAdpcmDecoder(view.channels, view.blockAlign, frames, std::move(table)));
}

void MsAdpcmDecoder::Decode(const uint8_t* in, uint32_t blocks, float* out) {
  const uint16_t channels = Channels();
  const uint32_t frames = FramesPerBlock();
  for (uint32_t b = 0; b < blocks; ++b, in += BlockBytes()) {
    Coefficients pair[kMaxChannels];
    int64_t step[kMaxChannels];
    int32_t previous[kMaxChannels];  // the sample before the one being decoded
    int32_t older[kMaxChannels];     // and the one before that
    const uint8_t* p = in;
    for (uint16_t c = 0; c < channels; ++c, ++p) {
      // An index outside the table falls back to the first pair.
      pair[c] = coefficients[*p < coefficients.size() ? *p : 0];
    }
    for (uint16_t c = 0; c < channels; ++c, p += 2) step[c] = ReadI16(p);
    for (uint16_t c = 0; c < channels; ++c, p += 2) previous[c] = ReadI16(p);
    for (uint16_t c = 0; c < channels; ++c, p += 2) older[c] = ReadI16(p);
    for (uint16_t c = 0; c < channels; ++c) {
      out[c] = older[c] / 32768.0f;
      if (frames > 1) out[channels + c] = previous[c] / 32768.0f;
    }
    out += static_cast<size_t>(std::min<uint32_t>(frames, 2)) * channels;

    uint64_t codes = frames > 2 ? static_cast<uint64_t>(frames - 2) * channels : 0;
    for (uint64_t k = 0; k < codes; ++k) {
      uint16_t c = static_cast<uint16_t>(k % channels);
      int32_t nibble = (k & 1) ? (p[k / 2] & 0x0F) : (p[k / 2] >> 4);
      int64_t current = step[c];
      step[c] = std::clamp<int64_t>((kAdaptation[nibble] * current) >> 8, kMinStep, kMaxStep);
      int64_t predicted = (static_cast<int64_t>(previous[c]) * pair[c].first +
                           static_cast<int64_t>(older[c]) * pair[c].second) >> 8;
      int32_t signedCode = nibble - ((nibble & 8) << 1);
      int64_t sample = std::clamp<int64_t>(signedCode * current + predicted, -32768, 32767);
      older[c] = previous[c];
      previous[c] = static_cast<int32_t>(sample);
      *out++ = static_cast<float>(sample) / 32768.0f;
    }
  }
}

}  // namespace ve
