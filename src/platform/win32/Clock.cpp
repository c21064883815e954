#include "platform/Clock.h"

#include "platform/win32/WindowsHeaders.h"

namespace ve::platform {

void Sleep(uint32_t ms) { ::Sleep(ms); }

uint32_t GetTickCount() { return ::GetTickCount(); }

uint64_t GetSystemTimeAsFileTime() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace ve::platform
