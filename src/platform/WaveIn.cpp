#include "platform/WaveIn.h"

#include <memory>

#include "platform/DeviceRegistry.h"
#include "platform/WaveStream.h"

namespace ve::platform {

bool IsSupportedWaveFormat(const WAVEFORMATEX* format) {
  if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM) return false;
  if (format->nChannels < 1 || format->nChannels > 8) return false;
  if (format->wBitsPerSample != 8 && format->wBitsPerSample != 16) return false;
  if (format->nSamplesPerSec < 1000 || format->nSamplesPerSec > 192000) return false;
  uint32_t align = format->nChannels * format->wBitsPerSample / 8u;
  return format->nBlockAlign == align && format->nAvgBytesPerSec == format->nSamplesPerSec * align;
}

MMRESULT waveInOpen(HWAVEIN* device, uint32_t deviceId, const WAVEFORMATEX* format, WaveCallback callback,
                    uintptr_t instance) {
  if (device == nullptr) return MMSYSERR_INVALPARAM;
  *device = nullptr;
  if (!IsSupportedWaveFormat(format)) return WAVERR_BADFORMAT;
  std::unique_ptr<WavePort> port;
  MMRESULT result = DeviceRegistry::Instance().OpenPort(deviceId, true, *format, &port);
  if (result != MMSYSERR_NOERROR) return result;
  auto stream = std::make_unique<WaveStream>(WaveStream::Direction::kCapture, std::move(port), *format, callback,
                                             instance, DeviceRegistry::Instance().InputLevelOf(deviceId));
  result = stream->Launch();
  if (result != MMSYSERR_NOERROR) return result;
  *device = stream.release();
  return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header) {
  return device != nullptr ? device->Prepare(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header) {
  return device != nullptr ? device->Unprepare(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header) {
  return device != nullptr ? device->Add(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInStart(HWAVEIN device) { return device != nullptr ? device->Start() : MMSYSERR_INVALHANDLE; }

MMRESULT waveInReset(HWAVEIN device) { return device != nullptr ? device->Reset() : MMSYSERR_INVALHANDLE; }

MMRESULT waveInClose(HWAVEIN device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  MMRESULT result = device->Close();
  if (result != MMSYSERR_NOERROR) return result;
  delete device;
  return MMSYSERR_NOERROR;
}

MMRESULT waveInGetCounters(HWAVEIN device, DeviceCounters* counters) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (counters == nullptr) return MMSYSERR_INVALPARAM;
  *counters = device->Counters();
  return MMSYSERR_NOERROR;
}

}  // namespace ve::platform
