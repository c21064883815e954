#pragma once

#include <atomic>

#include <cstdint>
#include <deque>

#include "audio/PeakMeter.h"
#include "framework/AudioSink.h"
#include "platform/CriticalSection.h"
#include "platform/DeviceGate.h"
#include "platform/Event.h"
#include "platform/WaveHeader.h"

namespace ve {

// Plays samples on a wave-out device: each cycle the first sample of the list goes into a
// free device buffer (a gap marker as zero bytes), cut to the buffer size. The device paces
// the worker: with the queue full, the writer waits for a buffer to come back.
//
// The queue is as deep as the device needs, not as deep as the buffers prepared: it starts at
// the smallest depth set (SetQueueDepth), grows by a buffer each time the device runs dry (an
// underrun: a buffer came back and none was left queued, or the device counted one of its
// own), and shrinks by one after
// kShrinkAfterWrites writes without an underrun, down to the smallest again. Without
// SetQueueDepth every prepared buffer is kept queued.
//
// Threads: the worker thread runs ProcessSamples and, as it ends, OnThreadEnd; the device's
// driver thread runs DeviceCallback; the owner's thread runs the setters, SetVolume,
// OnThreadStart (inside Start) and OnOpen/OnClose. transitionLock serialises the
// transitions and the destructor and guards `started`. The writer and SetVolume call the open
// device through a pass of deviceGate, so no lock is held across a device call and closing
// waits for those calls to end; queueLock guards `doneQueue`.
class WaveOutPlayer : public AudioSink {
 public:
  static constexpr uint32_t kMaxBuffers = 30;
  static constexpr uint32_t kMaxBufferSize = 3200;
  static constexpr uint32_t kRetryMs = 1000;
  static constexpr uint32_t kFreeHeaderWaitMs = 1000;
  static constexpr uint32_t kIdleMs = 5;
  static constexpr uint32_t kShrinkAfterWrites = 300;
  // How much longer than its queued audio a closing device may take to hand its buffers back.
  static constexpr uint32_t kPlayOutSlackMs = 200;

  WaveOutPlayer();
  ~WaveOutPlayer() override;

  int32_t SetDeviceId(uint32_t id);
  uint32_t GetDeviceId();
  // Used at the next open; larger values are cut to kMaxBufferSize / kMaxBuffers.
  int32_t SetBufferSize(uint32_t bytes);
  int32_t SetBufferCount(uint32_t count);
  // The adaptive queue: from `smallest` buffers up to the buffer count; 0 turns it off.
  int32_t SetQueueDepth(uint32_t smallest);
  // The queue depth now, in buffers, and the underruns since the device opened; any thread.
  uint32_t QueueDepth() const { return queueTarget.load(); }
  uint64_t Underruns() const { return underruns.load(); }
  int32_t SetFormat(int32_t formatIndex);
  // Output level 0..100 (more acts as 100) on the open device for both channels; does
  // nothing while closed.
  int32_t SetVolume(uint32_t level);
  // Peak magnitude (0..32768) of the last buffer handled, for level meters; any thread.
  int32_t LastPeak() const { return peakMeter.Level(); }

 protected:
  int32_t OnThreadStart(platform::Thread* thread, uint32_t threadId) override;
  int32_t OnThreadEnd(platform::Thread* thread, uint32_t threadId) override;
  int32_t OnOpen() override;
  int32_t OnClose() override;
  int32_t ProcessSamples(SampleList* list) override;

 private:
  PeakMeter peakMeter;
  static void DeviceCallback(platform::WaveStream* device, uint32_t message, uintptr_t instance,
                             platform::WAVEHDR* header);
  int32_t OpenDevice();
  int32_t CloseDevice();
  // OpenDevice, then `started`; a failed open leaves the device closed.
  int32_t OpenAndStart();
  // Null once the device is closed.
  platform::WAVEHDR* TakeFreeHeader();
  // Closing: waits until the buffers written have played.
  void WaitUntilPlayedOut();
  // Grows the adaptive queue when the device counted an underrun of its own; shrinks it after
  // a long run without one.
  void AdaptQueue(uint64_t deviceUnderruns);

  bool started = false;
  uint32_t bufferSize = 320;
  uint32_t bufferCount = 6;
  // The sizes the open device uses: changes while open take effect at the next open.
  uint32_t openBufferSize = 0;
  uint32_t openBufferCount = 0;
  uint32_t deviceId = platform::WAVE_MAPPER;
  platform::Event doneEvent;
  platform::Event playedOut;  // set when the last buffer written comes back
  platform::HWAVEOUT device = nullptr;
  platform::WAVEHDR headers[kMaxBuffers];
  WAVEFORMATEX format;
  uint8_t buffers[kMaxBuffers][kMaxBufferSize];
  std::deque<platform::WAVEHDR*> doneQueue;
  // Buffers written and not yet back, under queueLock; `primed` once the queue was first full
  // (under queueLock); `closing` from the start of a close, while the queue plays out and
  // then comes back unplayed: no underrun is counted then.
  uint32_t inFlight = 0;
  bool primed = false;
  std::atomic<bool> closing{false};
  std::atomic<uint32_t> smallestQueue{0};
  std::atomic<uint32_t> queueTarget{0};
  std::atomic<uint64_t> underruns{0};
  uint32_t cleanWrites = 0;  // writer thread only, as seenUnderruns
  uint64_t seenUnderruns = 0;
  uint64_t seenDeviceUnderruns = 0;
  platform::DeviceGate deviceGate;
  platform::CriticalSection queueLock;
  platform::CriticalSection transitionLock;
};

}  // namespace ve
