#include "platform/LoopbackDevice.h"

#include <algorithm>
#include <cstring>

#include "platform/VirtualPort.h"

namespace ve::platform {

namespace {

class LoopbackPort : public VirtualPort {
 public:
  LoopbackPort(const WAVEFORMATEX& format, std::shared_ptr<LoopbackDevice> device, bool capture)
      : VirtualPort(format, capture), device(std::move(device)), capture(capture) {}
  ~LoopbackPort() override { device->CloseSide(capture); }

 protected:
  void Exchange(uint8_t* data, uint32_t bytes) override {
    if (capture) {
      device->Capture(data, bytes);
    } else {
      device->Played(data, bytes);
    }
  }

 private:
  std::shared_ptr<LoopbackDevice> device;
  const bool capture;
};

}  // namespace

MMRESULT LoopbackDevice::OpenSide(bool capture, const WAVEFORMATEX& wanted) {
  std::lock_guard<std::mutex> guard(mutex);
  if (capture ? captureOpen : playbackOpen) return MMSYSERR_ALLOCATED;
  bool otherOpen = capture ? playbackOpen : captureOpen;
  if (otherOpen) {
    if (std::memcmp(&format, &wanted, sizeof format) != 0) return WAVERR_BADFORMAT;
  } else {
    format = wanted;
    ring.assign(static_cast<size_t>(wanted.nAvgBytesPerSec) * kHoldMs / 1000, 0);
    head = 0;
    size = 0;
  }
  (capture ? captureOpen : playbackOpen) = true;
  return MMSYSERR_NOERROR;
}

MMRESULT LoopbackDevice::OpenCapture(const WAVEFORMATEX& wanted, std::unique_ptr<WavePort>* port) {
  MMRESULT result = OpenSide(true, wanted);
  if (result == MMSYSERR_NOERROR) *port = std::make_unique<LoopbackPort>(wanted, shared_from_this(), true);
  return result;
}

MMRESULT LoopbackDevice::OpenPlayback(const WAVEFORMATEX& wanted, std::unique_ptr<WavePort>* port) {
  MMRESULT result = OpenSide(false, wanted);
  if (result == MMSYSERR_NOERROR) *port = std::make_unique<LoopbackPort>(wanted, shared_from_this(), false);
  return result;
}

void LoopbackDevice::CloseSide(bool capture) {
  std::lock_guard<std::mutex> guard(mutex);
  (capture ? captureOpen : playbackOpen) = false;
}

void LoopbackDevice::Played(const uint8_t* data, uint32_t bytes) {
  std::lock_guard<std::mutex> guard(mutex);
  const size_t capacity = ring.size();
  if (capacity == 0) return;
  // Audio nobody captured in time is dropped from the oldest end.
  if (bytes >= capacity) {
    data += bytes - capacity;
    bytes = static_cast<uint32_t>(capacity);
  }
  if (size + bytes > capacity) {
    size_t drop = size + bytes - capacity;
    head = (head + drop) % capacity;
    size -= drop;
  }
  size_t tail = (head + size) % capacity;
  size_t first = std::min<size_t>(bytes, capacity - tail);
  std::memcpy(ring.data() + tail, data, first);
  std::memcpy(ring.data(), data + first, bytes - first);
  size += bytes;
}

void LoopbackDevice::Capture(uint8_t* data, uint32_t bytes) {
  std::lock_guard<std::mutex> guard(mutex);
  const size_t capacity = ring.size();
  if (capacity == 0 || size < bytes) {
    std::memset(data, format.wBitsPerSample == 8 ? 0x80 : 0, bytes);
    return;
  }
  size_t first = std::min<size_t>(bytes, capacity - head);
  std::memcpy(data, ring.data() + head, first);
  std::memcpy(data + first, ring.data(), bytes - first);
  head = (head + bytes) % capacity;
  size -= bytes;
}

}  // namespace ve::platform
