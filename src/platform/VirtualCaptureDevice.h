#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/VirtualDevice.h"
#include "platform/WavPcmReader.h"

namespace ve::platform {

// A virtual microphone: silence, a sine tone, or the audio of a WAV file (played once and
// then silence, or looping), converted at each open to the format asked for. The source runs
// on at wall-clock pace while nobody takes its audio: that audio is dropped (an overrun) and
// the next buffer gets the audio of its own time.
//
// Threads: the device is immutable after construction; each open gets its own port.
class VirtualCaptureDevice : public VirtualDevice {
 public:
  static std::unique_ptr<VirtualCaptureDevice> Silence(std::string name);
  // amplitude is the peak as a 16-bit value.
  static std::unique_ptr<VirtualCaptureDevice> Tone(std::string name, double frequencyHz, int16_t amplitude);
  // 0, or a WavPcmReader error code.
  static int32_t FromWavFile(std::string name, const char* path, bool loop,
                             std::unique_ptr<VirtualCaptureDevice>* out);

  bool CanCapture() const override { return true; }
  MMRESULT OpenCapture(const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port) override;

  // Converts interleaved 16-bit audio to `channels` and `rate` (channels are mixed down,
  // copied up, resampled with a high-quality filter).
  static std::vector<int16_t> Convert(const WavPcmReader::Audio& audio, uint16_t channels, uint32_t rate);

 private:
  enum class Kind { kSilence, kTone, kFile };
  VirtualCaptureDevice(std::string name, Kind kind) : VirtualDevice(std::move(name)), kind(kind) {}

  const Kind kind;
  double frequencyHz = 0;
  int16_t amplitude = 0;
  bool loop = false;
  std::shared_ptr<const WavPcmReader::Audio> file;
};

}  // namespace ve::platform
