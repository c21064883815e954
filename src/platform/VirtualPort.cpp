#include "platform/VirtualPort.h"

#include <algorithm>
#include <cstring>

namespace ve::platform {

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000ULL;

uint32_t Rate(const WAVEFORMATEX& format) { return format.nSamplesPerSec != 0 ? format.nSamplesPerSec : 8000; }

uint32_t FrameBytes(const WAVEFORMATEX& format) { return format.nBlockAlign != 0 ? format.nBlockAlign : 1; }

}  // namespace

VirtualPort::Clock::time_point VirtualPort::Position(uint64_t count) const {
  return origin + std::chrono::nanoseconds(static_cast<int64_t>(count * kNanosPerSecond / Rate(format)));
}

uint64_t VirtualPort::FramesAt(Clock::time_point time) const {
  if (time <= origin) return 0;
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(time - origin).count();
  const auto elapsed = static_cast<uint64_t>(nanos);
  const uint64_t rate = Rate(format);
  return elapsed / kNanosPerSecond * rate + elapsed % kNanosPerSecond * rate / kNanosPerSecond;
}

int32_t VirtualPort::Start() {
  origin = Clock::now();
  frames = 0;
  clockRunning = true;
  return 0;
}

void VirtualPort::ExchangeScratch(uint64_t count) {
  const uint32_t frameBytes = FrameBytes(format);
  const uint32_t chunk = kScratchBytes / frameBytes;
  for (uint64_t done = 0; done < count;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, count - done));
    Exchange(scratch, n * frameBytes);
    done += n;
  }
}

void VirtualPort::Discard(uint64_t count) { ExchangeScratch(count); }

int32_t VirtualPort::Transfer(uint8_t* data, uint32_t bytes) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (interrupted) return 0;
  }
  const uint64_t count = bytes / FrameBytes(format);
  if (!clockRunning) Start();
  const Clock::time_point now = Clock::now();
  if (now > Position(frames) + (capture ? kCaptureSlack : kLateSlack)) {
    // The owner had nothing queued when the device needed it: the device went on without it.
    const uint64_t missed = FramesAt(now) - frames;
    if (capture) {
      Discard(missed);
      droppedFrames += missed;
      ++overruns;
    } else {
      std::memset(scratch, format.wBitsPerSample == 8 ? 0x80 : 0, kScratchBytes);
      ExchangeScratch(missed);
      ++underruns;
    }
    frames += missed;
  }
  const Clock::time_point deadline = Position(frames + count);
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

DeviceCounters VirtualPort::Counters() const {
  DeviceCounters counters;
  counters.underruns = underruns;
  counters.overruns = overruns;
  counters.droppedCaptureMs = droppedFrames * 1000 / Rate(format);
  return counters;
}

}  // namespace ve::platform
