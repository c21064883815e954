#pragma once

#include <cstdint>

#include "platform/WaveHeader.h"

// Wave input: open a capture device by id (or WAVE_MAPPER for the default), queue buffers,
// start, reset, close. Every added buffer comes back exactly once through WIM_DATA with the
// bytes recorded, also when waveInReset or waveInClose stops the device early.
namespace ve::platform {

MMRESULT waveInOpen(HWAVEIN* device, uint32_t deviceId, const WAVEFORMATEX* format, WaveCallback callback,
                    uintptr_t instance);
MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header);
MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header);
MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header);
MMRESULT waveInStart(HWAVEIN device);
MMRESULT waveInReset(HWAVEIN device);
// Returns any queued buffer, sends WIM_CLOSE and frees the handle.
MMRESULT waveInClose(HWAVEIN device);
// The device's dropped audio since the open (see DeviceCounters); any thread while it is open.
MMRESULT waveInGetCounters(HWAVEIN device, DeviceCounters* counters);

// True for the PCM formats the devices take: 8- or 16-bit, 1 to 8 channels, 1000 to
// 192000 frames per second, with consistent block align and byte rate.
bool IsSupportedWaveFormat(const WAVEFORMATEX* format);

}  // namespace ve::platform
