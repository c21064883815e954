#include "platform/WavPcmWriter.h"

#include <cstring>

namespace ve::platform {

namespace {

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

constexpr long kRiffSizeAt = 4;
constexpr long kDataSizeAt = 40;
constexpr uint32_t kHeaderBytes = 44;

}  // namespace

WavPcmWriter::~WavPcmWriter() { Close(); }

bool WavPcmWriter::Open(const char* path, const WAVEFORMATEX& format) {
  Close();
  if (path == nullptr) return false;
  file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  uint8_t header[kHeaderBytes];
  std::memcpy(header, "RIFF", 4);
  PutU32(header + 4, kHeaderBytes - 8);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  PutU32(header + 16, 16);
  PutU16(header + 20, WAVE_FORMAT_PCM);
  PutU16(header + 22, format.nChannels);
  PutU32(header + 24, format.nSamplesPerSec);
  PutU32(header + 28, format.nAvgBytesPerSec);
  PutU16(header + 32, format.nBlockAlign);
  PutU16(header + 34, format.wBitsPerSample);
  std::memcpy(header + 36, "data", 4);
  PutU32(header + 40, 0);
  dataBytes = 0;
  if (std::fwrite(header, 1, sizeof header, file) != sizeof header) {
    std::fclose(file);
    file = nullptr;
    return false;
  }
  return true;
}

bool WavPcmWriter::Write(const uint8_t* data, uint32_t bytes) {
  if (file == nullptr) return false;
  // The sizes are 32-bit; a file never grows past them.
  if (bytes > 0xFFFFFFF0u - kHeaderBytes - dataBytes) return false;
  size_t written = std::fwrite(data, 1, bytes, file);
  dataBytes += static_cast<uint32_t>(written);
  return written == bytes;
}

void WavPcmWriter::Flush() {
  if (file == nullptr) return;
  uint8_t size[4];
  long end = std::ftell(file);
  PutU32(size, kHeaderBytes - 8 + dataBytes);
  std::fseek(file, kRiffSizeAt, SEEK_SET);
  std::fwrite(size, 1, 4, file);
  PutU32(size, dataBytes);
  std::fseek(file, kDataSizeAt, SEEK_SET);
  std::fwrite(size, 1, 4, file);
  std::fseek(file, end, SEEK_SET);
  std::fflush(file);
}

void WavPcmWriter::Close() {
  if (file == nullptr) return;
  Flush();
  std::fclose(file);
  file = nullptr;
}

}  // namespace ve::platform
