#include "platform/Event.h"

#include "platform/win32/WindowsHeaders.h"

namespace ve::platform {

Event::Event(bool initiallySet) : handle(::CreateEventA(nullptr, FALSE, initiallySet ? TRUE : FALSE, nullptr)) {}

Event::~Event() {
  if (handle != nullptr) ::CloseHandle(handle);
}

void Event::Set() { ::SetEvent(handle); }

void Event::Reset() { ::ResetEvent(handle); }

void Event::Wait() { ::WaitForSingleObject(handle, INFINITE); }

bool Event::Wait(uint32_t timeoutMs) {
  // INFINITE is 0xFFFFFFFF: a caller's largest time-out still ends.
  DWORD wait = timeoutMs == INFINITE ? INFINITE - 1 : timeoutMs;
  return ::WaitForSingleObject(handle, wait) == WAIT_OBJECT_0;
}

}  // namespace ve::platform
