#include "platform/VirtualPort.h"

namespace ve::platform {

VirtualPort::Clock::time_point VirtualPort::Position(uint64_t count) const {
  uint32_t rate = format.nSamplesPerSec != 0 ? format.nSamplesPerSec : 8000;
  return origin + std::chrono::nanoseconds(static_cast<int64_t>(count * 1000000000ULL / rate));
}

int32_t VirtualPort::Start() {
  origin = Clock::now();
  frames = 0;
  clockRunning = true;
  return 0;
}

int32_t VirtualPort::Transfer(uint8_t* data, uint32_t bytes) {
  uint32_t align = format.nBlockAlign != 0 ? format.nBlockAlign : 1;
  uint64_t count = bytes / align;
  Clock::time_point now = Clock::now();
  if (!clockRunning) Start();
  // Idle for longer than the slack: the position restarts at now instead of catching up.
  if (Position(frames) + kIdleSlack < now) {
    origin = now;
    frames = 0;
  }
  Clock::time_point deadline = Position(frames + count);
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (wake.wait_until(lock, deadline, [this] { return interrupted; })) return 0;
  }
  frames += count;
  Exchange(data, bytes);
  return static_cast<int32_t>(bytes);
}

void VirtualPort::Interrupt() {
  std::lock_guard<std::mutex> guard(mutex);
  interrupted = true;
  wake.notify_all();
}

void VirtualPort::Stop() {
  std::lock_guard<std::mutex> guard(mutex);
  interrupted = false;
  clockRunning = false;
}

}  // namespace ve::platform
