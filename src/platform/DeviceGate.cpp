#include "platform/DeviceGate.h"

#include <mutex>

namespace ve::platform {

DeviceGate::Pass::~Pass() {
  if (gate != nullptr) gate->Leave();
}

void DeviceGate::Open() {
  std::lock_guard<CriticalSection> guard(lock);
  open = true;
}

DeviceGate::Pass DeviceGate::Enter() {
  std::lock_guard<CriticalSection> guard(lock);
  if (!open) return Pass(nullptr);
  ++passesOut;
  return Pass(this);
}

void DeviceGate::Close() {
  {
    std::lock_guard<CriticalSection> guard(lock);
    open = false;
    if (passesOut == 0) return;
    // Reset under the lock: the last pass to come back sets it after this.
    drained.Reset();
  }
  drained.Wait();
}

bool DeviceGate::IsOpen() {
  std::lock_guard<CriticalSection> guard(lock);
  return open;
}

void DeviceGate::Leave() {
  std::lock_guard<CriticalSection> guard(lock);
  if (--passesOut == 0 && !open) drained.Set();
}

}  // namespace ve::platform
