#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "audio/PeakMeter.h"
#include "framework/AudioSource.h"
#include "platform/CriticalSection.h"
#include "platform/DeviceGate.h"
#include "platform/Event.h"
#include "platform/WaveHeader.h"

namespace ve {

class AudioSamplePool;

// Records a wave-in device and produces one sample per filled device buffer. A buffer whose
// values all lie within -4..4, or any buffer while the input level is 0, goes on as a gap
// marker standing for its duration. The input level is set on the device's mixer (the
// microphone line of the wave-in destination, else the destination itself) and kept as the
// gate; set while closed, it is applied at the next open.
//
// Threads: the worker thread runs ProduceSample and, as it ends, OnThreadEnd; the device's
// driver thread runs DeviceCallback; the owner's thread runs the setters, SetVolume,
// OnThreadStart (inside Start) and OnOpen/OnClose. transitionLock serialises the
// transitions, SetVolume and the destructor and is taken first. The worker hands buffers
// back to the open device through a pass of deviceGate, so no lock is held across a device
// call and closing waits for a hand-back in progress; queueLock guards `doneQueue` and
// `headersOut`.
// `inputVolume` is atomic: the worker reads it as the gate.
class WaveInRecorder : public AudioSource {
 public:
  static constexpr int32_t kMaxBuffers = 30;
  static constexpr uint32_t kMaxBufferSize = 3200;
  static constexpr uint32_t kRetryMs = 1000;

  WaveInRecorder();
  ~WaveInRecorder() override;

  int32_t SetDeviceId(uint32_t id);
  // Ignored while the device is open, and for sizes above kMaxBufferSize.
  int32_t SetBufferSize(uint32_t bytes);
  // Ignored while the device is open, and for counts outside 1..kMaxBuffers.
  int32_t SetBufferCount(int32_t count);
  // Ignored while the device is open.
  int32_t SetFormat(int32_t formatIndex);
  // Input level 0..100 on the mixer; always 0.
  int32_t SetVolume(uint32_t level);
  // Peak magnitude (0..32768) of the last buffer handled, for level meters; any thread.
  int32_t LastPeak() const { return peakMeter.Level(); }

 protected:
  int32_t OnThreadStart(platform::Thread* thread, uint32_t threadId) override;
  int32_t OnThreadEnd(platform::Thread* thread, uint32_t threadId) override;
  int32_t OnOpen() override;
  int32_t OnClose() override;
  int32_t ProduceSample(AudioSample** out) override;

 private:
  PeakMeter peakMeter;
  static void DeviceCallback(platform::WaveStream* device, uint32_t message, uintptr_t instance,
                             platform::WAVEHDR* header);
  int32_t OpenDevice();
  int32_t CloseDevice();
  int32_t RequeueBuffer(uint32_t index);
  // Sets the mixer for `level` (source pass, else destination pass).
  void ApplyVolume(uint32_t level);
  // OpenDevice, then the pending volume and `started`; a failed open leaves the device closed.
  int32_t OpenAndStart();

  WAVEFORMATEX format;
  platform::Event dataEvent;
  platform::HWAVEIN device = nullptr;
  platform::WAVEHDR headers[kMaxBuffers];
  uint8_t buffers[kMaxBuffers][kMaxBufferSize];
  int32_t bufferCount = 6;
  uint32_t bufferSize = 320;
  std::deque<platform::WAVEHDR*> doneQueue;
  // Headers that will come back to doneQueue before the device is closed: the ones prepared
  // at open, less any the device refused to take back.
  int32_t headersOut = 0;
  platform::DeviceGate deviceGate;
  platform::CriticalSection queueLock;
  platform::CriticalSection transitionLock;
  AudioSamplePool* pool = nullptr;
  bool started = false;
  uint32_t deviceId = platform::WAVE_MAPPER;
  bool volumePending = false;
  std::atomic<uint32_t> inputVolume{0};
};

}  // namespace ve
