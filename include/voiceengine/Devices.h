#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "voiceengine/Export.h"

/// @file
/// Choosing and adding audio devices. Every device has an id; pass it to the engine's calls
/// that take a device (sending, receiving, playing a file). kDefaultDevice picks the
/// system's default device, which is a virtual one (silence in, nothing out) on a machine
/// without sound hardware.
///
/// Virtual devices run in real time like hardware: a 20 ms buffer takes 20 ms. Their
/// microphone level and mute act on the captured samples. All functions may be called from
/// any thread; they return 0 or one of the negative codes below.
///
/// Exported by the Linux library and part of the engine's static libraries on both systems;
/// the Windows DLL does not export them (a DLL host uses device numbers of the system's own
/// listing and -1 for the default).
namespace voiceengine {

/// The system's default device (-1 as the engine's int32_t device argument).
constexpr uint32_t kDefaultDevice = 0xFFFFFFFFu;

constexpr int32_t kDeviceBadArgument = -10;     ///< null or out-of-range argument, unknown id
constexpr int32_t kDeviceFileUnreadable = -20;  ///< the WAV file cannot be opened or read
constexpr int32_t kDeviceFileNotPcmWave = -30;  ///< not a PCM WAV file (8/16/24/32-bit, 1-8 channels)

/// One device of the listing.
struct DeviceInfo {
  uint32_t id;       ///< what the engine's device arguments take
  std::string name;  ///< the system's name, with its description in brackets where it has one
  bool capture;    ///< can be used for sending (microphone)
  bool playback;   ///< can be used for receiving and local file play (speaker)
  bool isVirtual;  ///< added by one of the Add functions below
  bool isDefault = false;  ///< the system's default device, which kDefaultDevice opens
};

/// The sound devices (ALSA on Linux, the system's wave devices on Windows, in a listing that
/// stays the same while the machine's configuration does) followed by the virtual devices
/// added so far.
/// @return the devices.
VOICEENGINE_API std::vector<DeviceInfo> ListDevices();

/// Adds a microphone that captures silence.
/// @param name the name the listing shows.
/// @param id receives the device's id.
/// @return 0 or kDeviceBadArgument.
VOICEENGINE_API int32_t AddSilenceCaptureDevice(const char* name, uint32_t* id);
/// Adds a microphone that captures a sine tone.
/// @param name the name the listing shows.
/// @param frequencyHz above 0.
/// @param amplitude 0..32767.
/// @param id receives the device's id.
/// @return 0 or kDeviceBadArgument.
VOICEENGINE_API int32_t AddToneCaptureDevice(const char* name, double frequencyHz, int32_t amplitude, uint32_t* id);
/// Adds a microphone that captures the audio of a PCM WAV file, converted to whatever format
/// the engine opens it with, played once then silence, or looping.
/// @param name the name the listing shows.
/// @param path the WAV file, read now.
/// @param loop true to loop.
/// @param id receives the device's id.
/// @return 0, kDeviceBadArgument, kDeviceFileUnreadable or kDeviceFileNotPcmWave.
VOICEENGINE_API int32_t AddWavFileCaptureDevice(const char* name, const char* path, bool loop, uint32_t* id);

/// Adds a speaker that discards what is played.
/// @param name the name the listing shows.
/// @param id receives the device's id.
/// @return 0 or kDeviceBadArgument.
VOICEENGINE_API int32_t AddDiscardPlaybackDevice(const char* name, uint32_t* id);
/// Adds a speaker that records what is played into a WAV file (8 kHz 16-bit mono, started
/// afresh at each open, complete once the device is closed).
/// @param name the name the listing shows.
/// @param path the WAV file to write.
/// @param id receives the device's id.
/// @return 0 or kDeviceBadArgument (also for an empty path).
VOICEENGINE_API int32_t AddWavFilePlaybackDevice(const char* name, const char* path, uint32_t* id);

/// Adds a loopback device: what is played on it comes out of its microphone. Use the one id
/// for a playback and a capture.
/// @param name the name the listing shows.
/// @param id receives the device's id.
/// @return 0 or kDeviceBadArgument.
VOICEENGINE_API int32_t AddLoopbackDevice(const char* name, uint32_t* id);

/// Removes a virtual device from the list; a stream open on it plays on until it is closed.
/// @param id the device's id.
/// @return 0, or kDeviceBadArgument for an id that is not a virtual device.
VOICEENGINE_API int32_t RemoveDevice(uint32_t id);

}  // namespace voiceengine
