#include "platform/WavPcmReader.h"

#include <cstdio>
#include <cstring>

namespace ve::platform {

namespace {

// Little-endian fields; each read checks its own bounds.
bool ReadU16LE(const uint8_t* bytes, size_t size, size_t at, uint16_t* out) {
  if (at > size || size - at < 2) return false;
  *out = static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
  return true;
}

bool ReadU32LE(const uint8_t* bytes, size_t size, size_t at, uint32_t* out) {
  if (at > size || size - at < 4) return false;
  *out = static_cast<uint32_t>(bytes[at]) | (static_cast<uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<uint32_t>(bytes[at + 2]) << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
  return true;
}

bool TagIs(const uint8_t* bytes, size_t size, size_t at, const char* tag) {
  return at <= size && size - at >= 4 && std::memcmp(bytes + at, tag, 4) == 0;
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

}  // namespace

int32_t WavPcmReader::Parse(const uint8_t* bytes, size_t size, Audio* out) {
  if (bytes == nullptr || out == nullptr) return kErrorNotWave;
  if (!TagIs(bytes, size, 0, "RIFF") || !TagIs(bytes, size, 8, "WAVE")) return kErrorNotWave;
  bool haveFormat = false;
  uint16_t channels = 0;
  uint16_t bits = 0;
  uint16_t blockAlign = 0;
  uint32_t rate = 0;
  size_t at = 12;
  while (at + 8 <= size) {
    uint32_t chunkSize = 0;
    ReadU32LE(bytes, size, at + 4, &chunkSize);
    size_t body = at + 8;
    bool isData = TagIs(bytes, size, at, "data");
    // A data chunk cut short (a recording that was not finished) is taken as far as it goes.
    if (chunkSize > size - body) {
      if (!isData) return kErrorNotWave;
      chunkSize = static_cast<uint32_t>(size - body);
    }
    if (TagIs(bytes, size, at, "fmt ")) {
      uint16_t tag = 0;
      if (chunkSize < 16 || !ReadU16LE(bytes, size, body, &tag) || !ReadU16LE(bytes, size, body + 2, &channels) ||
          !ReadU32LE(bytes, size, body + 4, &rate) || !ReadU16LE(bytes, size, body + 12, &blockAlign) ||
          !ReadU16LE(bytes, size, body + 14, &bits)) {
        return kErrorFormat;
      }
      if (tag == kFormatExtensible) {
        uint16_t subFormat = 0;
        if (chunkSize < 40 || !ReadU16LE(bytes, size, body + 24, &subFormat)) return kErrorFormat;
        tag = subFormat;
      }
      if (tag != kFormatPcm || channels < 1 || channels > 8 || rate < 1000 || rate > 384000) return kErrorFormat;
      if ((bits != 8 && bits != 16 && bits != 24 && bits != 32) || blockAlign != channels * (bits / 8)) {
        return kErrorFormat;
      }
      haveFormat = true;
    } else if (isData) {
      if (!haveFormat) return kErrorFormat;
      const size_t width = bits / 8;
      const size_t count = chunkSize / blockAlign * channels;
      out->sampleRate = rate;
      out->channels = channels;
      out->samples.resize(count);
      const uint8_t* p = bytes + body;
      for (size_t i = 0; i < count; ++i, p += width) {
        int32_t value;
        switch (width) {
          case 1: value = (static_cast<int32_t>(p[0]) - 128) * 256; break;
          case 2: value = static_cast<int16_t>(p[0] | (p[1] << 8)); break;
          // Wider values keep their top 16 bits.
          default: value = static_cast<int16_t>(p[width - 2] | (p[width - 1] << 8)); break;
        }
        out->samples[i] = static_cast<int16_t>(value);
      }
      return 0;
    }
    // Chunks are padded to an even length.
    size_t next = body + chunkSize + (chunkSize & 1);
    if (next <= at) break;
    at = next;
  }
  return haveFormat ? kErrorNoData : kErrorFormat;
}

int32_t WavPcmReader::ReadFile(const char* path, Audio* out) {
  if (path == nullptr || out == nullptr) return kErrorOpen;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return kErrorOpen;
  std::vector<uint8_t> bytes;
  uint8_t block[65536];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, file)) > 0) {
    if (bytes.size() + n > kMaxFileBytes) {
      std::fclose(file);
      return kErrorOpen;
    }
    bytes.insert(bytes.end(), block, block + n);
  }
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return kErrorOpen;
  return Parse(bytes.data(), bytes.size(), out);
}

}  // namespace ve::platform
