#pragma once

#include <mutex>

namespace ve::platform {

// A lock the owning thread may enter again while it holds it. Used with std::lock_guard /
// std::unique_lock like any standard mutex.
using CriticalSection = std::recursive_mutex;
using CriticalSectionLock = std::lock_guard<CriticalSection>;

}  // namespace ve::platform
