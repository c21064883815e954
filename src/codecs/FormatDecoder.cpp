#include "codecs/FormatDecoder.h"

#include <algorithm>
#include <cstring>

#include "codecs/G711Decoder.h"
#include "codecs/ImaAdpcmDecoder.h"
#include "codecs/LinearPcmDecoder.h"
#include "codecs/MsAdpcmDecoder.h"

namespace ve {

namespace {

// WAVE_FORMAT_EXTENSIBLE: valid bits (2), channel mask (4), sub-format GUID (16), whose first
// field holds the wrapped tag and whose other 12 bytes are fixed for audio formats.
constexpr uint32_t kExtensibleBytes = 22;
constexpr uint8_t kGuidSuffix[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

}  // namespace

bool FormatDecoder::Parse(const WAVEFORMATEX* format, uint32_t formatSize, FormatView* view) {
  if (format == nullptr || view == nullptr || formatSize < sizeof(WAVEFORMATEX)) return false;
  FormatView v;
  v.tag = format->wFormatTag;
  v.channels = format->nChannels;
  v.rate = format->nSamplesPerSec;
  v.blockAlign = format->nBlockAlign;
  v.bits = format->wBitsPerSample;
  v.extra = reinterpret_cast<const uint8_t*>(format) + sizeof(WAVEFORMATEX);
  v.extraSize = std::min<uint32_t>(format->cbSize, formatSize - sizeof(WAVEFORMATEX));
  if (v.tag == WAVE_FORMAT_EXTENSIBLE) {
    if (v.extraSize < kExtensibleBytes) return false;
    const uint8_t* guid = v.extra + 6;
    if (guid[2] != 0 || guid[3] != 0 || std::memcmp(guid + 4, kGuidSuffix, sizeof(kGuidSuffix)) != 0) return false;
    v.tag = static_cast<uint16_t>(guid[0] | (guid[1] << 8));
    // The container size (wBitsPerSample) decides the layout; valid bits are left-justified
    // in it, so reading the whole container is right.
    v.extra += kExtensibleBytes;
    v.extraSize -= kExtensibleBytes;
  }
  *view = v;
  return true;
}

std::unique_ptr<FormatDecoder> FormatDecoder::Create(const WAVEFORMATEX* format, uint32_t formatSize) {
  FormatView view;
  if (!Parse(format, formatSize, &view)) return nullptr;
  if (view.channels == 0 || view.channels > kMaxChannels || view.rate == 0 || view.blockAlign == 0) return nullptr;
  switch (view.tag) {
    case WAVE_FORMAT_PCM:
    case WAVE_FORMAT_IEEE_FLOAT:
      return LinearPcmDecoder::Create(view);
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
      return G711Decoder::Create(view);
    case WAVE_FORMAT_IMA_ADPCM:
      // Only in its own tag: an extensible wrapper has no room for the block layout.
      if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) return nullptr;
      return ImaAdpcmDecoder::Create(view);
    case WAVE_FORMAT_ADPCM:
      if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) return nullptr;
      return MsAdpcmDecoder::Create(view);
    default:
      return nullptr;
  }
}

}  // namespace ve
