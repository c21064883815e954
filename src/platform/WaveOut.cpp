#include "platform/WaveOut.h"

#include <memory>

#include "platform/DeviceRegistry.h"
#include "platform/WaveIn.h"
#include "platform/WaveStream.h"

namespace ve::platform {

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format, WaveCallback callback,
                     uintptr_t instance) {
  if (device == nullptr) return MMSYSERR_INVALPARAM;
  *device = nullptr;
  if (!IsSupportedWaveFormat(format)) return WAVERR_BADFORMAT;
  std::unique_ptr<WavePort> port;
  MMRESULT result = DeviceRegistry::Instance().OpenPort(deviceId, false, *format, &port);
  if (result != MMSYSERR_NOERROR) return result;
  auto stream = std::make_unique<WaveStream>(WaveStream::Direction::kPlayback, std::move(port), *format, callback,
                                             instance);
  result = stream->Launch();
  if (result != MMSYSERR_NOERROR) return result;
  *device = stream.release();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header) {
  return device != nullptr ? device->Prepare(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header) {
  return device != nullptr ? device->Unprepare(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header) {
  return device != nullptr ? device->Add(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveOutReset(HWAVEOUT device) { return device != nullptr ? device->Reset() : MMSYSERR_INVALHANDLE; }

MMRESULT waveOutClose(HWAVEOUT device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  MMRESULT result = device->Close();
  if (result != MMSYSERR_NOERROR) return result;
  delete device;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutSetVolume(HWAVEOUT device, uint32_t volume) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  device->SetVolumeWord(volume);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetCounters(HWAVEOUT device, DeviceCounters* counters) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (counters == nullptr) return MMSYSERR_INVALPARAM;
  *counters = device->Counters();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT device, uint32_t* volume) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  if (volume == nullptr) return MMSYSERR_INVALPARAM;
  *volume = device->VolumeWord();
  return MMSYSERR_NOERROR;
}

}  // namespace ve::platform
