#pragma once

// Builds WAV files for tests: format records of every common kind, sample encoders, RIFF
// assembly with arbitrary (also deliberately wrong) chunks, and temporary files.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/WaveFormat.h"

namespace ve::test {

using Bytes = std::vector<uint8_t>;

// One chunk of a RIFF file: four identifier characters and the contents. `statedSize`, when
// not negative, is written as the chunk size instead of the real one (for lying headers).
struct WavChunk {
  std::string id;
  Bytes contents;
  int64_t statedSize = -1;
};

// A format record for integer PCM (tag 1) or IEEE float (tag 3) with consistent block
// alignment and byte rate; cbSize 0.
WAVEFORMATEX MakeLinearFormat(uint16_t tag, uint32_t rate, uint16_t channels, uint16_t bits);

// The bytes of a `fmt ` chunk holding `format`: its first `size` bytes (16 for the short PCM
// form, 18 with cbSize), followed by `extra`.
Bytes FormatChunk(const WAVEFORMATEX& format, size_t size = sizeof(WAVEFORMATEX), const Bytes& extra = {});

// A WAVE_FORMAT_EXTENSIBLE `fmt ` chunk (40 bytes) wrapping sub-format `subTag` (1 PCM,
// 3 float, 6 A-law, 7 u-law) with the given container and valid bits.
Bytes ExtensibleFormatChunk(uint16_t subTag, uint32_t rate, uint16_t channels, uint16_t bits, uint16_t validBits);

// A RIFF/WAVE file of `chunks` in order, each padded to even length; the RIFF size is the
// true one unless `riffSize` is not negative.
Bytes BuildRiff(const std::vector<WavChunk>& chunks, int64_t riffSize = -1);
// The usual file: a `fmt ` chunk and a `data` chunk.
Bytes BuildWav(const Bytes& fmtChunk, const Bytes& data);

// Encodes interleaved values in [-1, 1] as integer PCM (8 unsigned, 16, 24 or 32 bits signed,
// rounded and clipped) or IEEE float (32 or 64 bits), little-endian.
Bytes EncodeSamples(const std::vector<double>& values, uint16_t tag, uint16_t bits);
// Little-endian 16-bit values.
Bytes Int16Bytes(const std::vector<int16_t>& values);
std::vector<int16_t> Int16Values(const uint8_t* bytes, size_t count);

// `frames` frames of a sine of `frequency` Hz at `rate`, peak `amplitude`, the same value on
// each of `channels` interleaved channels.
std::vector<double> Tone(double frequency, double rate, double amplitude, size_t frames, uint16_t channels = 1);

// A file under the system's temporary folder holding `bytes`, removed when this goes away.
class TempFile {
 public:
  explicit TempFile(const Bytes& bytes, const std::string& suffix = ".wav");
  // A name in the temporary folder without creating a file there.
  explicit TempFile(const std::string& suffix);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& Path() const { return path; }
  const char* Name() const { return path.c_str(); }

 private:
  std::string path;
};

// Writes `bytes` to `path`; false when it cannot.
bool WriteFile(const std::string& path, const Bytes& bytes);
// The whole file, or an empty vector.
Bytes ReadFile(const std::string& path);

}  // namespace ve::test
