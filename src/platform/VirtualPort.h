#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/WaveFormat.h"
#include "platform/WavePort.h"

namespace ve::platform {

// A port paced by a real-time clock like hardware: each transfer completes when the device
// position, counted in frames from the clock's origin (set by Start), reaches its end.
// Deadlines are absolute (origin + frames / rate), so a long run does not drift.
//
// The clock never waits for the owner. When a transfer comes more than kLateSlack (capture:
// kCaptureSlack) after the position it should start at, the device has lived through the
// time in between: playback played silence for it (one underrun), capture recorded audio
// nobody took and dropped it (one overrun, its length counted). The position moves up to now and the transfer starts
// there, so later audio keeps its wall-clock place. The slack absorbs the driver thread's own
// wake-up delay and a busy machine's late owner, as a hardware FIFO would.
//
// Derived classes move the bytes in Exchange when a transfer completes; Exchange also plays
// the silence of an underrun (playback), and Discard drops the audio of an overrun (capture).
//
// Threads: Start/Transfer/Stop on the driver thread; Interrupt and Counters from any thread.
// `mutex` guards `interrupted`; the counters are atomics; the clock members and `scratch`
// belong to the driver thread.
class VirtualPort : public WavePort {
 public:
  static constexpr std::chrono::milliseconds kLateSlack{40};
  // A microphone's ring holds much more (the ALSA capture ring holds 500 ms): its audio is
  // dropped only when nobody took it for that long.
  static constexpr std::chrono::milliseconds kCaptureSlack{500};

  VirtualPort(const WAVEFORMATEX& format, bool capture) : format(format), capture(capture) {}

  int32_t Start() override;
  int32_t Transfer(uint8_t* data, uint32_t bytes) override;
  void Interrupt() override;
  void Stop() override;
  DeviceCounters Counters() const override;

 protected:
  // Capture fills `data`; playback takes it. Runs on the driver thread at the deadline.
  virtual void Exchange(uint8_t* data, uint32_t bytes) = 0;
  // Capture: drops `frames` of audio the device produced and nobody took. By default they
  // are produced through Exchange and thrown away.
  virtual void Discard(uint64_t frames);

  const WAVEFORMATEX format;

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point Position(uint64_t frames) const;
  // The device position at `time`, in whole frames from the origin.
  uint64_t FramesAt(Clock::time_point time) const;
  // Runs Exchange over `scratch`, as many chunks as `frames` take.
  void ExchangeScratch(uint64_t frames);

  static constexpr uint32_t kScratchBytes = 1024;

  const bool capture;
  std::mutex mutex;
  std::condition_variable wake;
  bool interrupted = false;
  bool clockRunning = false;
  Clock::time_point origin;
  uint64_t frames = 0;
  std::atomic<uint32_t> underruns{0};
  std::atomic<uint32_t> overruns{0};
  std::atomic<uint64_t> droppedFrames{0};
  uint8_t scratch[kScratchBytes];
};

}  // namespace ve::platform
