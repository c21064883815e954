#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/WaveFormat.h"
#include "platform/WavePort.h"

namespace ve::platform {

// A port paced by a real-time clock like hardware: each transfer completes when the device
// position, counted in frames from the clock's origin, reaches its end. Deadlines are
// absolute (origin + frames / rate), so a long run does not drift; if the owner leaves the
// device idle for longer than kIdleSlack the origin moves up to now, as hardware that ran
// dry starts again. Derived classes move the bytes in Exchange when a transfer completes.
//
// Threads: Start/Transfer/Stop on the driver thread; Interrupt from any thread. `mutex`
// guards `interrupted`; the clock members belong to the driver thread.
class VirtualPort : public WavePort {
 public:
  static constexpr std::chrono::milliseconds kIdleSlack{100};

  explicit VirtualPort(const WAVEFORMATEX& format) : format(format) {}

  int32_t Start() override;
  int32_t Transfer(uint8_t* data, uint32_t bytes) override;
  void Interrupt() override;
  void Stop() override;

 protected:
  // Capture fills `data`; playback takes it. Runs on the driver thread at the deadline.
  virtual void Exchange(uint8_t* data, uint32_t bytes) = 0;

  const WAVEFORMATEX format;

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point Position(uint64_t frames) const;

  std::mutex mutex;
  std::condition_variable wake;
  bool interrupted = false;
  bool clockRunning = false;
  Clock::time_point origin;
  uint64_t frames = 0;
};

}  // namespace ve::platform
