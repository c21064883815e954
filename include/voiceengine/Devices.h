#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Choosing and adding audio devices. Every device has an id; pass it to the engine's calls
// that take a device (sending, receiving, playing a file). kDefaultDevice picks the
// system's default device, which is a virtual one (silence in, nothing out) on a machine
// without sound hardware.
//
// Virtual devices run in real time like hardware: a 20 ms buffer takes 20 ms. Their
// microphone level and mute act on the captured samples. All functions may be called from
// any thread; they return 0 or one of the negative codes below.
namespace voiceengine {

constexpr uint32_t kDefaultDevice = 0xFFFFFFFFu;

constexpr int32_t kDeviceBadArgument = -10;     // null or out-of-range argument, unknown id
constexpr int32_t kDeviceFileUnreadable = -20;  // the WAV file cannot be opened or read
constexpr int32_t kDeviceFileNotPcmWave = -30;  // not a PCM WAV file (8/16/24/32-bit, 1-8 channels)

struct DeviceInfo {
  uint32_t id;
  std::string name;
  bool capture;    // can be used for sending (microphone)
  bool playback;   // can be used for receiving and local file play (speaker)
  bool isVirtual;
  bool isDefault = false;  // the system's default device, which kDefaultDevice opens
};

// The sound devices (ALSA, in a listing that stays the same while the machine's
// configuration does) followed by the virtual devices added so far.
std::vector<DeviceInfo> ListDevices();

// Microphones: silence; a sine tone (amplitude 0..32767); the audio of a PCM WAV file,
// converted to whatever format the engine opens it with, played once then silence or looping.
int32_t AddSilenceCaptureDevice(const char* name, uint32_t* id);
int32_t AddToneCaptureDevice(const char* name, double frequencyHz, int32_t amplitude, uint32_t* id);
int32_t AddWavFileCaptureDevice(const char* name, const char* path, bool loop, uint32_t* id);

// Speakers: discard what is played, or record it into a WAV file (started afresh at each
// open, complete once the device is closed).
int32_t AddDiscardPlaybackDevice(const char* name, uint32_t* id);
int32_t AddWavFilePlaybackDevice(const char* name, const char* path, uint32_t* id);

// A loopback device: what is played on it comes out of its microphone. Use the one id for a
// playback and a capture.
int32_t AddLoopbackDevice(const char* name, uint32_t* id);

// Removes a virtual device from the list; a stream open on it plays on until it is closed.
int32_t RemoveDevice(uint32_t id);

}  // namespace voiceengine
