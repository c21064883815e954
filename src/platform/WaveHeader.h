#pragma once

#include <cstdint>

#include "platform/WaveFormat.h"

// Records and codes shared by the wave-in, wave-out and mixer services: the buffer header
// handed to a device, the messages a device sends to its owner's callback, and the result
// codes (0 is success).
namespace ve::platform {

// Opens the default device of the direction.
constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;

using MMRESULT = uint32_t;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT MIXERR_INVALLINE = 1024;
constexpr MMRESULT MIXERR_INVALCONTROL = 1025;

// Header flags.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// One buffer handed to a device. The owner fills lpData, dwBufferLength and dwUser; the
// device sets dwBytesRecorded (capture) and the flags.
struct WAVEHDR {
  uint8_t* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesRecorded = 0;
  uintptr_t dwUser = 0;
  uint32_t dwFlags = 0;
};

// What an open device has counted since it was opened. A backend that cannot tell a figure
// leaves it at 0.
struct DeviceCounters {
  // Playback: times the device needed audio and none was queued (it played silence).
  uint32_t underruns = 0;
  // Capture: times the device had recorded audio nobody took and dropped it.
  uint32_t overruns = 0;
  // Capture: how much audio those drops lost, in milliseconds.
  uint64_t droppedCaptureMs = 0;
};

// Messages to the device callback.
constexpr uint32_t WIM_OPEN = 0x3BE;
constexpr uint32_t WIM_CLOSE = 0x3BF;
constexpr uint32_t WIM_DATA = 0x3C0;
constexpr uint32_t WOM_OPEN = 0x3BB;
constexpr uint32_t WOM_CLOSE = 0x3BC;
constexpr uint32_t WOM_DONE = 0x3BD;

class WaveStream;
using HWAVEIN = WaveStream*;
using HWAVEOUT = WaveStream*;

// Called on the device's driver thread with the message, the owner's instance word and, for
// WIM_DATA / WOM_DONE, the header that came back. It must only queue and signal.
using WaveCallback = void (*)(WaveStream* device, uint32_t message, uintptr_t instance, WAVEHDR* header);

}  // namespace ve::platform
