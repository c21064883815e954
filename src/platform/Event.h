#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ve::platform {

// An auto-reset event: Set wakes one waiter (or lets the next Wait pass at once) and the
// event clears itself as that waiter leaves. Any thread may Set, Reset or Wait.
class Event {
 public:
  explicit Event(bool initiallySet = false);
#ifdef _WIN32
  ~Event();
#endif
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until the event is set, then clears it.
  void Wait();
  // Waits at most timeoutMs; true when the event was set (and is now cleared), false on time-out.
  bool Wait(uint32_t timeoutMs);

 private:
#ifdef _WIN32
  void* handle;  // the system's auto-reset event
#else
  std::mutex mutex;
  std::condition_variable signalled;
  bool set;
#endif
};

}  // namespace ve::platform
