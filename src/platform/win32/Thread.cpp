#include "platform/Thread.h"

#include "platform/win32/WindowsHeaders.h"

namespace ve::platform {

// What the new thread needs once it is let go. The thread reads `run` only after it has been
// resumed, and frees the block itself, so the Thread object may be deleted at any time.
struct Thread::Start {
  Entry entry;
  void* argument;
  bool run = false;
};

namespace {

DWORD WINAPI ThreadMain(LPVOID parameter) {
  auto* start = static_cast<Thread::Start*>(parameter);
  Thread::Entry entry = start->entry;
  void* argument = start->argument;
  bool run = start->run;
  delete start;
  return run ? entry(argument) : 0;
}

}  // namespace

Thread::Thread(void* threadHandle, Start* startBlock, uint32_t threadId)
    : handle(threadHandle), start(startBlock), id(threadId) {}

Thread* Thread::CreateSuspended(Entry entry, void* argument) {
  auto* block = new Start{entry, argument};
  DWORD threadId = 0;
  HANDLE created = ::CreateThread(nullptr, 0, &ThreadMain, block, CREATE_SUSPENDED, &threadId);
  if (created == nullptr) {
    delete block;
    return nullptr;
  }
  return new Thread(created, block, threadId);
}

Thread::~Thread() {
  // A thread that was never let go leaves without running its entry.
  Terminate();
  ::CloseHandle(handle);
}

bool Thread::Resume() {
  if (released) return false;
  start->run = true;
  released = true;
  return ::ResumeThread(handle) != static_cast<DWORD>(-1);
}

bool Thread::Terminate() {
  if (released) return false;
  // Resuming with `run` clear lets the thread free its start block and end at once, which a
  // forced termination would not.
  start->run = false;
  released = true;
  ::ResumeThread(handle);
  return true;
}

bool Thread::SetPriority(int priority) {
  if (priority >= kTimeCritical) priority = THREAD_PRIORITY_TIME_CRITICAL;
  return ::SetThreadPriority(handle, priority) != 0;
}

bool Thread::IsCurrent() const { return ::GetCurrentThreadId() == id; }

bool RaiseCurrentThreadPriority() {
  HANDLE self = ::GetCurrentThread();
  return ::SetThreadPriority(self, THREAD_PRIORITY_TIME_CRITICAL) != 0 ||
         ::SetThreadPriority(self, THREAD_PRIORITY_HIGHEST) != 0;
}

}  // namespace ve::platform
