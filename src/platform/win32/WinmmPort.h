#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/WaveFormat.h"
#include "platform/WaveHeader.h"
#include "platform/WavePort.h"

namespace ve::platform {

// A stream on a wave device of the system's multimedia service. The port keeps its own ring of
// 10 ms system buffers and copies between them and the stream's buffers:
//  - capture queues the whole ring (320 ms) on Start; Transfer copies recorded buffers out and
//    hands each back to the device as soon as it is emptied;
//  - playback fills the ring and writes each buffer to the device when it is full, or when a
//    Transfer ends with a part of one; Transfer blocks while all 16 buffers (160 ms) are in the
//    device.
// The device signals an event when a buffer is done; Interrupt sets a second event that ends
// any wait at once, until Stop resets the device and clears it. A device that stays silent for
// 2 s is reported as failed to the stream, which then paces itself.
//
// The system's handles are kept as untyped pointers so that this header does not bring the
// system's declarations, whose macros share names with ours, into other code.
//
// Threads: Start/Transfer/Stop on the driver thread; Interrupt, OpenHardwareMixer and Counters
// from any thread (the counters are atomics). The device's own thread only signals the event.
class WinmmPort : public WavePort {
 public:
  ~WinmmPort() override;

  // Opens the system's device `deviceId` (an index of its device list, or WAVE_MAPPER for the
  // default) for the direction and format. Returns the system's result code.
  static MMRESULT Open(uint32_t deviceId, bool capture, const WAVEFORMATEX& format, std::unique_ptr<WavePort>* port);

  int32_t Start() override;
  int32_t Transfer(uint8_t* data, uint32_t bytes) override;
  void Interrupt() override;
  void Stop() override;
  std::unique_ptr<Mixer> OpenHardwareMixer() override;
  // Playback: times every written buffer had finished when more audio came (the device ran
  // dry). Capture: times the whole ring was full when read (the device had nowhere to
  // record); how much audio that lost is not known.
  DeviceCounters Counters() const override;

  static constexpr uint32_t kCaptureBuffers = 32;
  static constexpr uint32_t kPlaybackBuffers = 16;
  static constexpr uint32_t kBufferMs = 10;

 private:
  struct Slot;
  enum class Wait { kReady, kInterrupted, kFailed };

  WinmmPort(bool capture, const WAVEFORMATEX& format, void* doneEvent, void* interruptEvent);
  // Waits for the device to finish a buffer or for Interrupt.
  Wait WaitDone();
  bool Interrupted() const;
  bool SlotDone(const Slot& slot) const;
  int32_t Capture(uint8_t* data, uint32_t bytes);
  int32_t Play(const uint8_t* data, uint32_t bytes);
  // Writes the playback slot being filled to the device and moves on to the next one.
  int32_t Submit();

  const bool capture;
  const WAVEFORMATEX format;
  void* device = nullptr;          // HWAVEIN or HWAVEOUT
  void* const doneEvent;           // auto-reset, set by the device
  void* const interruptEvent;      // manual-reset, set by Interrupt, cleared by Stop
  std::vector<std::unique_ptr<Slot>> slots;
  uint32_t slotBytes = 0;
  size_t current = 0;    // the slot being emptied (capture) or filled (playback)
  uint32_t offset = 0;   // bytes of it already copied out (capture) or in (playback)
  bool running = false;  // capture: the ring is queued and the device records
  std::atomic<uint32_t> underruns{0};
  std::atomic<uint32_t> overruns{0};
};

}  // namespace ve::platform
