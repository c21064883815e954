#include "platform/Event.h"

#include <chrono>

namespace ve::platform {

Event::Event(bool initiallySet) : set(initiallySet) {}

void Event::Set() {
  // Notify while holding the lock: a waiter that then destroys the event cannot do so
  // before this call has stopped touching it.
  std::lock_guard<std::mutex> guard(mutex);
  set = true;
  signalled.notify_one();
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(mutex);
  set = false;
}

void Event::Wait() {
  std::unique_lock<std::mutex> guard(mutex);
  signalled.wait(guard, [this] { return set; });
  set = false;
}

bool Event::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(mutex);
  if (!signalled.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return set; })) {
    return false;
  }
  set = false;
  return true;
}

}  // namespace ve::platform
