#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads PCM WAV files (RIFF form WAVE with a `fmt ` and a `data` chunk) into 16-bit values:
// 8-, 16-, 24- and 32-bit integer PCM, plain or extensible, 1 to 8 channels.
namespace ve::platform {

class WavPcmReader {
 public:
  static constexpr int32_t kErrorOpen = -10;       // the file cannot be read
  static constexpr int32_t kErrorNotWave = -20;    // not RIFF/WAVE, or a chunk runs past the end
  static constexpr int32_t kErrorFormat = -30;     // no or unsupported `fmt ` chunk
  static constexpr int32_t kErrorNoData = -40;     // no `data` chunk
  static constexpr size_t kMaxFileBytes = 256u << 20;

  // Interleaved 16-bit values of the whole file.
  struct Audio {
    uint32_t sampleRate = 0;
    uint16_t channels = 0;
    std::vector<int16_t> samples;
  };

  // 0 or one of the codes above.
  static int32_t ReadFile(const char* path, Audio* out);
  static int32_t Parse(const uint8_t* bytes, size_t size, Audio* out);
};

}  // namespace ve::platform
