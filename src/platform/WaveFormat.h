#pragma once

#include <cstdint>

// The wave format record every audio component exchanges: the 18-byte packed layout that
// WAV files and the wave services use, with the same field names. It lives in the engine's
// namespace so that the system's own declaration of the record can sit beside it where the
// platform layer calls the system.
namespace ve {

#pragma pack(push, 1)
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is the packed 18-byte record");

constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_ADPCM = 2;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_ALAW = 6;
constexpr uint16_t WAVE_FORMAT_MULAW = 7;
constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x11;
constexpr uint16_t WAVE_FORMAT_G729 = 0xFE01;
constexpr uint16_t WAVE_FORMAT_G723_53 = 0xFE02;
constexpr uint16_t WAVE_FORMAT_G723_64 = 0xFE03;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

}  // namespace ve
