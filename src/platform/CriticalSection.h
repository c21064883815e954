#pragma once

#include <cstddef>
#include <mutex>

namespace ve::platform {

// A lock the owning thread may enter again while it holds it. Used with std::lock_guard /
// std::unique_lock like any standard mutex.
#ifdef _WIN32
// On Windows it is the system's critical section (kept in opaque storage here so that the
// system headers stay out of every file that takes a lock).
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void lock();
  void unlock();
  bool try_lock();

 private:
  static constexpr size_t kStorageBytes = sizeof(void*) == 8 ? 40 : 24;
  alignas(void*) unsigned char storage[kStorageBytes];
};
#else
using CriticalSection = std::recursive_mutex;
#endif
using CriticalSectionLock = std::lock_guard<CriticalSection>;

}  // namespace ve::platform
