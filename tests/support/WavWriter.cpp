#include "support/WavWriter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>

#include "platform/Socket.h"

namespace ve::test {

namespace {

void PutU16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutId(Bytes& out, const std::string& id) {
  for (size_t i = 0; i < 4; ++i) out.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}

int64_t Quantise(double value, int bits) {
  double scale = std::ldexp(1.0, bits - 1);
  double scaled = std::nearbyint(value * scale);
  return static_cast<int64_t>(std::clamp(scaled, -scale, scale - 1));
}

}  // namespace

WAVEFORMATEX MakeLinearFormat(uint16_t tag, uint32_t rate, uint16_t channels, uint16_t bits) {
  WAVEFORMATEX format{};
  format.wFormatTag = tag;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  format.nAvgBytesPerSec = rate * format.nBlockAlign;
  format.wBitsPerSample = bits;
  format.cbSize = 0;
  return format;
}

Bytes FormatChunk(const WAVEFORMATEX& format, size_t size, const Bytes& extra) {
  Bytes out(sizeof(WAVEFORMATEX));
  std::memcpy(out.data(), &format, sizeof(WAVEFORMATEX));
  out.resize(std::min(size, sizeof(WAVEFORMATEX)));
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

Bytes ExtensibleFormatChunk(uint16_t subTag, uint32_t rate, uint16_t channels, uint16_t bits, uint16_t validBits) {
  WAVEFORMATEX format = MakeLinearFormat(WAVE_FORMAT_EXTENSIBLE, rate, channels, bits);
  format.cbSize = 22;
  Bytes extra;
  PutU16(extra, validBits);
  PutU32(extra, channels == 2 ? 3u : 4u);  // front left and right, or front centre
  // The sub-format GUID: the tag in its first field, then the fixed audio-format suffix.
  PutU32(extra, subTag);
  const uint8_t kSuffix[] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  extra.insert(extra.end(), std::begin(kSuffix), std::end(kSuffix));
  return FormatChunk(format, sizeof(WAVEFORMATEX), extra);
}

Bytes BuildRiff(const std::vector<WavChunk>& chunks, int64_t riffSize) {
  Bytes body;
  PutId(body, "WAVE");
  for (const WavChunk& chunk : chunks) {
    PutId(body, chunk.id);
    PutU32(body, static_cast<uint32_t>(chunk.statedSize >= 0 ? chunk.statedSize
                                                             : static_cast<int64_t>(chunk.contents.size())));
    body.insert(body.end(), chunk.contents.begin(), chunk.contents.end());
    if (chunk.contents.size() % 2 != 0) body.push_back(0);
  }
  Bytes out;
  PutId(out, "RIFF");
  PutU32(out, static_cast<uint32_t>(riffSize >= 0 ? riffSize : static_cast<int64_t>(body.size())));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes BuildWav(const Bytes& fmtChunk, const Bytes& data) {
  return BuildRiff({{"fmt ", fmtChunk}, {"data", data}});
}

Bytes EncodeSamples(const std::vector<double>& values, uint16_t tag, uint16_t bits) {
  Bytes out;
  out.reserve(values.size() * bits / 8);
  for (double value : values) {
    if (tag == WAVE_FORMAT_IEEE_FLOAT && bits == 32) {
      float f = static_cast<float>(value);
      uint32_t raw;
      std::memcpy(&raw, &f, 4);
      PutU32(out, raw);
    } else if (tag == WAVE_FORMAT_IEEE_FLOAT && bits == 64) {
      uint64_t raw;
      std::memcpy(&raw, &value, 8);
      PutU32(out, static_cast<uint32_t>(raw));
      PutU32(out, static_cast<uint32_t>(raw >> 32));
    } else if (bits == 8) {
      out.push_back(static_cast<uint8_t>(Quantise(value, 8) + 128));
    } else {
      uint64_t raw = static_cast<uint64_t>(Quantise(value, bits));
      for (int shift = 0; shift < bits; shift += 8) out.push_back(static_cast<uint8_t>(raw >> shift));
    }
  }
  return out;
}

Bytes Int16Bytes(const std::vector<int16_t>& values) {
  Bytes out;
  for (int16_t v : values) PutU16(out, static_cast<uint16_t>(v));
  return out;
}

std::vector<int16_t> Int16Values(const uint8_t* bytes, size_t count) {
  std::vector<int16_t> out(count / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return out;
}

std::vector<double> Tone(double frequency, double rate, double amplitude, size_t frames, uint16_t channels) {
  std::vector<double> out;
  out.reserve(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    double v = amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
    for (uint16_t c = 0; c < channels; ++c) out.push_back(v);
  }
  return out;
}

TempFile::TempFile(const std::string& suffix) {
  static std::atomic<int> counter{0};
  path = (std::filesystem::temp_directory_path() /
          ("ve-test-" + std::to_string(platform::GetProcessId()) + "-" + std::to_string(counter++) + suffix))
             .string();
}

TempFile::TempFile(const Bytes& bytes, const std::string& suffix) : TempFile(suffix) { WriteFile(path, bytes); }

TempFile::~TempFile() {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace ve::test
