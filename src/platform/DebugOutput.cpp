#include "platform/DebugOutput.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "voiceengine/DebugOutput.h"

#ifdef _WIN32
#include "platform/win32/WindowsHeaders.h"
#undef OutputDebugString  // the system's name for OutputDebugStringA; ours is declared above
#endif

namespace {

std::atomic<bool> enabled{false};
std::mutex sinkMutex;  // guards sink and sinkContext, and keeps lines whole on stderr
voiceengine::DebugSink sink = nullptr;
void* sinkContext = nullptr;

}  // namespace

namespace voiceengine {

void SetDebugOutputEnabled(bool on) { enabled.store(on, std::memory_order_relaxed); }

bool IsDebugOutputEnabled() { return enabled.load(std::memory_order_relaxed); }

void SetDebugSink(DebugSink newSink, void* context) {
  std::lock_guard<std::mutex> guard(sinkMutex);
  sink = newSink;
  sinkContext = context;
}

}  // namespace voiceengine

namespace ve::platform {

void OutputDebugString(const char* line) {
  if (!enabled.load(std::memory_order_relaxed) || line == nullptr) return;
  std::lock_guard<std::mutex> guard(sinkMutex);
  if (sink != nullptr) {
    sink(line, sinkContext);
  } else {
#ifdef _WIN32
    // Windows: the system's debug output, where a debugger or a log viewer reads it.
    ::OutputDebugStringA(line);
#else
    std::fputs(line, stderr);
#endif
  }
}

void DebugPrintf(const char* format, ...) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  OutputDebugString(line);
}

}  // namespace ve::platform
