#pragma once

#include <cstdint>

#include "platform/WaveHeader.h"

// Wave output: open a playback device by id (or WAVE_MAPPER for the default) and write
// buffers, which play in order and come back once each through WOM_DONE after they have
// been played; waveOutReset returns every pending buffer at once.
namespace ve::platform {

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format, WaveCallback callback,
                     uintptr_t instance);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header);
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header);
MMRESULT waveOutReset(HWAVEOUT device);
MMRESULT waveOutClose(HWAVEOUT device);
// The volume of this stream only: left 0..0xFFFF in the low 16 bits, right in the high 16
// bits (mono uses the left). It scales what this stream plays; the system volume stays.
MMRESULT waveOutSetVolume(HWAVEOUT device, uint32_t volume);
MMRESULT waveOutGetVolume(HWAVEOUT device, uint32_t* volume);
// The device's underruns since the open (see DeviceCounters); any thread while it is open.
MMRESULT waveOutGetCounters(HWAVEOUT device, DeviceCounters* counters);

}  // namespace ve::platform
