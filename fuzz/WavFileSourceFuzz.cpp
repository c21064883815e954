// Opens arbitrary bytes as a WAV file and reads it to the end (looping on inputs of odd
// length), as the file player's source does.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "audio/WavFileSource.h"
#include "framework/AudioSample.h"

namespace {

using namespace ve;

// Exposes the pull path without a worker thread.
class Source : public ve::WavFileSource {};

const std::string& FilePath() {
  static const std::string path = "/tmp/ve-wavfuzz-" + std::to_string(::getpid()) + ".wav";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(FilePath().c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  Source source;
  if (source.OpenFile(FilePath().c_str()) != 0) return 0;
  WAVEFORMATEX format;
  source.GetFormat(&format);
  uint8_t whole[64];
  source.GetFormatBytes(whole, sizeof(whole));
  if (size % 2 == 1) source.SetLoop();
  if (source.Open() != 0) return 0;
  // Bounded: a looping source never ends by itself.
  for (int i = 0; i < 100; ++i) {
    ve::AudioSample* sample = nullptr;
    int32_t result = source.GiveNextAudioSample(&sample, nullptr);
    if (sample != nullptr) sample->Release();
    if (result < 0) break;
  }
  source.Close();
  return 0;
}
