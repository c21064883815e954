// Feeds arbitrary bytes through the format conversion under arbitrary source formats, the
// way the file converter does: pieces of varying size, unconsumed input carried over.
//
// Input layout: byte 0 picks how the source format is made (even: the next 40 bytes are the
// record as it stands; odd: a record built from a known tag and fuzzed fields), byte 1 the
// destination rate and channels, byte 2 the piece size; the rest is audio.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/AcmStream.h"

namespace {

using namespace ve;

constexpr size_t kRecordBytes = 40;
constexpr uint32_t kBufferBytes = 16000;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 + kRecordBytes) return 0;
  uint8_t record[kRecordBytes + 16] = {};
  std::memcpy(record, data + 3, kRecordBytes);
  uint32_t recordSize = 18 + data[3 + 16] % (kRecordBytes - 18 + 1);  // 18..40 bytes valid
  auto* format = reinterpret_cast<WAVEFORMATEX*>(record);
  if (data[0] % 2 == 1) {
    static const uint16_t kTags[] = {WAVE_FORMAT_PCM,       WAVE_FORMAT_IEEE_FLOAT, WAVE_FORMAT_ALAW,
                                     WAVE_FORMAT_MULAW,     WAVE_FORMAT_IMA_ADPCM,  WAVE_FORMAT_ADPCM,
                                     WAVE_FORMAT_EXTENSIBLE};
    static const uint32_t kRates[] = {8000, 11025, 16000, 22050, 44100, 48000, 96000, 0};
    static const uint16_t kBits[] = {8, 16, 24, 32, 64, 4, 0, 12};
    const uint8_t* f = data + 3;
    format->wFormatTag = kTags[f[0] % 7];
    format->nChannels = static_cast<uint16_t>(f[1] % 10);
    format->nSamplesPerSec = kRates[f[2] % 8];
    format->wBitsPerSample = kBits[f[3] % 8];
    format->nBlockAlign = (f[4] & 1) ? U16(f + 5) : static_cast<uint16_t>(format->nChannels * format->wBitsPerSample / 8);
    format->cbSize = static_cast<uint16_t>(recordSize - 18);
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && recordSize >= 40) {
      // A proper sub-format GUID around a fuzzed tag.
      static const uint8_t kSuffix[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
      record[24] = kTags[f[7] % 4] & 0xFF;
      record[25] = 0;
      record[26] = 0;
      record[27] = 0;
      std::memcpy(record + 28, kSuffix, sizeof(kSuffix));
    }
  }
  WAVEFORMATEX destination{};
  static const uint32_t kDestinationRates[] = {8000, 16000, 44100, 4000};
  destination.wFormatTag = WAVE_FORMAT_PCM;
  destination.nChannels = static_cast<uint16_t>(1 + data[1] % 3);
  destination.nSamplesPerSec = kDestinationRates[(data[1] / 3) % 4];
  destination.wBitsPerSample = 16;
  destination.nBlockAlign = static_cast<uint16_t>(2 * destination.nChannels);
  destination.nAvgBytesPerSec = destination.nSamplesPerSec * destination.nBlockAlign;

  ve::AcmStream* stream = nullptr;
  if (ve::AcmStream::Open(&stream, format, recordSize, &destination, ve::AcmStream::kOpenNonRealtime) != 0) return 0;
  static std::vector<uint8_t> src(kBufferBytes), dst(kBufferBytes);
  ve::ACMSTREAMHEADER header;
  header.cbStruct = sizeof(header);
  header.pbSrc = src.data();
  header.cbSrcLength = kBufferBytes;
  header.pbDst = dst.data();
  header.cbDstLength = kBufferBytes;
  if (stream->PrepareHeader(&header) != 0) __builtin_trap();
  header.cbSrcLength = 0;
  header.cbSrcLengthUsed = 0;

  const uint8_t* audio = data + 3 + kRecordBytes;
  size_t left = size - 3 - kRecordBytes;
  size_t piece = 1 + data[2] * 13;
  for (int calls = 0; calls < 200; ++calls) {
    uint32_t carried = header.cbSrcLength - header.cbSrcLengthUsed;
    size_t n = std::min({piece, left, static_cast<size_t>(kBufferBytes - carried)});
    std::memmove(src.data(), src.data() + header.cbSrcLengthUsed, carried);
    std::memcpy(src.data() + carried, audio, n);
    audio += n;
    left -= n;
    header.cbSrcLength = carried + static_cast<uint32_t>(n);
    if (stream->Convert(&header, ve::AcmStream::kConvertBlockAlign) != 0) __builtin_trap();
    if (header.cbSrcLengthUsed > header.cbSrcLength || header.cbDstLengthUsed > header.cbDstLength) __builtin_trap();
    if (left == 0 && header.cbDstLengthUsed == 0) break;
  }
  header.cbSrcLength = kBufferBytes;
  header.cbDstLength = kBufferBytes;
  if (stream->UnprepareHeader(&header) != 0) __builtin_trap();
  ve::AcmStream::Close(stream);
  return 0;
}
