#pragma once

// What the wave tests share: a callback that logs every message a stream sends and every
// buffer it hands back (with when), and a set of buffers to queue.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/WaveHeader.h"

namespace ve::platform {

// Written by the stream's callback thread, read by the test under `mutex` or after WaitFor.
struct WaveCallbackLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint32_t> messages;
  std::vector<WAVEHDR*> headers;  // the buffers handed back, in order
  std::vector<std::chrono::steady_clock::time_point> times;

  static void Callback(WaveStream*, uint32_t message, uintptr_t instance, WAVEHDR* header) {
    auto* self = reinterpret_cast<WaveCallbackLog*>(instance);
    std::lock_guard<std::mutex> guard(self->mutex);
    self->messages.push_back(message);
    if (header != nullptr) {
      self->headers.push_back(header);
      self->times.push_back(std::chrono::steady_clock::now());
    }
    self->changed.notify_all();
  }
  // Whether `count` buffers came back within `ms`.
  bool WaitFor(size_t count, int ms = 3000) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return headers.size() >= count; });
  }
  uintptr_t Instance() { return reinterpret_cast<uintptr_t>(this); }
};

// `count` buffers of `bytes` zeros.
struct WaveBuffers {
  std::vector<WAVEHDR> headers;
  std::vector<std::vector<uint8_t>> memory;
  WaveBuffers(size_t count, uint32_t bytes) : headers(count), memory(count, std::vector<uint8_t>(bytes)) {
    for (size_t i = 0; i < count; ++i) {
      headers[i].lpData = memory[i].data();
      headers[i].dwBufferLength = bytes;
    }
  }
};

}  // namespace ve::platform
