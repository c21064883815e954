#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/WaveFormat.h"

namespace ve::platform {

// Writes a PCM WAV file: the header at Open, audio as it comes, the chunk sizes at Close
// (and at every Flush, so the file is readable while it grows).
//
// Threads: one thread at a time.
class WavPcmWriter {
 public:
  WavPcmWriter() = default;
  ~WavPcmWriter();
  WavPcmWriter(const WavPcmWriter&) = delete;
  WavPcmWriter& operator=(const WavPcmWriter&) = delete;

  // Creates (or truncates) the file; false when it cannot be written.
  bool Open(const char* path, const WAVEFORMATEX& format);
  bool Write(const uint8_t* data, uint32_t bytes);
  // Patches the sizes into the header so far.
  void Flush();
  void Close();
  bool IsOpen() const { return file != nullptr; }

 private:
  FILE* file = nullptr;
  uint32_t dataBytes = 0;
};

}  // namespace ve::platform
