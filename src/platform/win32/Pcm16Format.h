#pragma once

// The system's format record for 16-bit linear PCM, which both the format converter and the
// one-shot resampler hand to the system's conversion services. Include after WindowsHeaders.h
// and <mmreg.h>.
#include <cstdint>

namespace ve::platform {

inline ::WAVEFORMATEX Pcm16Format(uint32_t rate, uint16_t channels) {
  ::WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = static_cast<WORD>(2 * channels);
  format.nAvgBytesPerSec = rate * format.nBlockAlign;
  return format;
}

}  // namespace ve::platform
