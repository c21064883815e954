// Project headers first: the system headers below define macros named like some of our
// constants (with the same values), which must not reach our own declarations.
#include "platform/win32/WinmmPort.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/win32/WinmmMixer.h"

#include "platform/win32/WindowsHeaders.h"
#include <mmsystem.h>

namespace ve::platform {

namespace {

// A device that finishes no buffer for this long is reported as failed.
constexpr DWORD kWaitTimeoutMs = 2000;
constexpr int32_t kTimedOut = -static_cast<int32_t>(WAIT_TIMEOUT);

int32_t Failure(MMRESULT result) { return -static_cast<int32_t>(result); }

::HWAVEIN InHandle(void* device) { return reinterpret_cast<::HWAVEIN>(device); }
::HWAVEOUT OutHandle(void* device) { return reinterpret_cast<::HWAVEOUT>(device); }

}  // namespace

struct WinmmPort::Slot {
  ::WAVEHDR header{};
  std::vector<uint8_t> memory;
  bool queued = false;  // playback: written to the device and not yet seen done
};

WinmmPort::WinmmPort(bool capture, const WAVEFORMATEX& format, void* doneEvent, void* interruptEvent)
    : capture(capture), format(format), doneEvent(doneEvent), interruptEvent(interruptEvent) {
  uint32_t align = format.nBlockAlign != 0 ? format.nBlockAlign : 1;
  slotBytes = format.nAvgBytesPerSec * kBufferMs / 1000;
  slotBytes = std::max(align, slotBytes - slotBytes % align);
  uint32_t count = capture ? kCaptureBuffers : kPlaybackBuffers;
  for (uint32_t i = 0; i < count; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->memory.resize(slotBytes);
    slot->header.lpData = reinterpret_cast<LPSTR>(slot->memory.data());
    slot->header.dwBufferLength = slotBytes;
    slots.push_back(std::move(slot));
  }
}

WinmmPort::~WinmmPort() {
  if (device != nullptr) {
    if (capture) {
      ::waveInReset(InHandle(device));
      for (auto& slot : slots) ::waveInUnprepareHeader(InHandle(device), &slot->header, sizeof(::WAVEHDR));
      ::waveInClose(InHandle(device));
    } else {
      ::waveOutReset(OutHandle(device));
      for (auto& slot : slots) ::waveOutUnprepareHeader(OutHandle(device), &slot->header, sizeof(::WAVEHDR));
      ::waveOutClose(OutHandle(device));
    }
  }
  ::CloseHandle(static_cast<HANDLE>(doneEvent));
  ::CloseHandle(static_cast<HANDLE>(interruptEvent));
}

MMRESULT WinmmPort::Open(uint32_t deviceId, bool capture, const WAVEFORMATEX& format,
                         std::unique_ptr<WavePort>* port) {
  HANDLE done = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE interrupt = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (done == nullptr || interrupt == nullptr) {
    if (done != nullptr) ::CloseHandle(done);
    if (interrupt != nullptr) ::CloseHandle(interrupt);
    return MMSYSERR_NOMEM;
  }
  std::unique_ptr<WinmmPort> self(new WinmmPort(capture, format, done, interrupt));

  ::WAVEFORMATEX system{};
  system.wFormatTag = format.wFormatTag;
  system.nChannels = format.nChannels;
  system.nSamplesPerSec = format.nSamplesPerSec;
  system.nAvgBytesPerSec = format.nAvgBytesPerSec;
  system.nBlockAlign = format.nBlockAlign;
  system.wBitsPerSample = format.wBitsPerSample;
  system.cbSize = 0;
  // The device sets `done` whenever it finishes a buffer (and on open and close).
  const DWORD_PTR callback = reinterpret_cast<DWORD_PTR>(done);
  MMRESULT result;
  if (capture) {
    ::HWAVEIN handle = nullptr;
    result = ::waveInOpen(&handle, deviceId, &system, callback, 0, CALLBACK_EVENT);
    if (result != MMSYSERR_NOERROR) return result;
    self->device = handle;
    for (auto& slot : self->slots) {
      result = ::waveInPrepareHeader(handle, &slot->header, sizeof(::WAVEHDR));
      if (result != MMSYSERR_NOERROR) return result;  // the destructor closes the device
    }
  } else {
    ::HWAVEOUT handle = nullptr;
    result = ::waveOutOpen(&handle, deviceId, &system, callback, 0, CALLBACK_EVENT);
    if (result != MMSYSERR_NOERROR) return result;
    self->device = handle;
    for (auto& slot : self->slots) {
      result = ::waveOutPrepareHeader(handle, &slot->header, sizeof(::WAVEHDR));
      if (result != MMSYSERR_NOERROR) return result;
    }
  }
  *port = std::move(self);
  return MMSYSERR_NOERROR;
}

bool WinmmPort::SlotDone(const Slot& slot) const {
  // The device's thread sets the flag; what it wrote before is visible once the flag is.
  bool done = (static_cast<const volatile DWORD&>(slot.header.dwFlags) & WHDR_DONE) != 0;
  std::atomic_thread_fence(std::memory_order_acquire);
  return done;
}

bool WinmmPort::Interrupted() const {
  return ::WaitForSingleObject(static_cast<HANDLE>(interruptEvent), 0) == WAIT_OBJECT_0;
}

WinmmPort::Wait WinmmPort::WaitDone() {
  // The interrupt comes first, so a reset wins over a buffer finished at the same moment.
  HANDLE events[2] = {static_cast<HANDLE>(interruptEvent), static_cast<HANDLE>(doneEvent)};
  DWORD result = ::WaitForMultipleObjects(2, events, FALSE, kWaitTimeoutMs);
  if (result == WAIT_OBJECT_0) return Wait::kInterrupted;
  if (result == WAIT_OBJECT_0 + 1) return Wait::kReady;
  return Wait::kFailed;
}

int32_t WinmmPort::Start() {
  if (!capture || running) return 0;
  // Queue the whole ring, then start recording into it.
  for (auto& slot : slots) {
    slot->header.dwFlags &= ~WHDR_DONE;
    slot->header.dwBytesRecorded = 0;
    MMRESULT result = ::waveInAddBuffer(InHandle(device), &slot->header, sizeof(::WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
      ::waveInReset(InHandle(device));
      return Failure(result);
    }
  }
  MMRESULT result = ::waveInStart(InHandle(device));
  if (result != MMSYSERR_NOERROR) {
    ::waveInReset(InHandle(device));
    return Failure(result);
  }
  running = true;
  current = 0;
  offset = 0;
  return 0;
}

int32_t WinmmPort::Transfer(uint8_t* data, uint32_t bytes) {
  if (Interrupted()) return 0;
  return capture ? Capture(data, bytes) : Play(data, bytes);
}

int32_t WinmmPort::Capture(uint8_t* data, uint32_t bytes) {
  if (!running) return Failure(MMSYSERR_ERROR);
  if (std::all_of(slots.begin(), slots.end(), [this](const auto& slot) { return SlotDone(*slot); })) ++overruns;
  uint32_t copied = 0;
  while (copied < bytes) {
    Slot& slot = *slots[current];
    if (!SlotDone(slot)) {
      Wait wait = WaitDone();
      if (wait == Wait::kInterrupted) return static_cast<int32_t>(copied);
      if (wait == Wait::kFailed) return copied > 0 ? static_cast<int32_t>(copied) : kTimedOut;
      continue;
    }
    const uint32_t recorded = std::min<uint32_t>(slot.header.dwBytesRecorded, slotBytes);
    const uint32_t n = std::min(recorded - std::min(offset, recorded), bytes - copied);
    std::memcpy(data + copied, slot.memory.data() + offset, n);
    offset += n;
    copied += n;
    if (offset >= recorded) {
      // Emptied: back to the device, at the end of its queue.
      slot.header.dwFlags &= ~WHDR_DONE;
      slot.header.dwBytesRecorded = 0;
      MMRESULT result = ::waveInAddBuffer(InHandle(device), &slot.header, sizeof(::WAVEHDR));
      if (result != MMSYSERR_NOERROR) return copied > 0 ? static_cast<int32_t>(copied) : Failure(result);
      current = (current + 1) % slots.size();
      offset = 0;
    }
  }
  return static_cast<int32_t>(copied);
}

int32_t WinmmPort::Submit() {
  Slot& slot = *slots[current];
  ::HWAVEOUT handle = OutHandle(device);
  if (slot.header.dwBufferLength != offset) {
    // A part-filled buffer is prepared again for its shorter length.
    ::waveOutUnprepareHeader(handle, &slot.header, sizeof(::WAVEHDR));
    slot.header.dwBufferLength = offset;
    slot.header.dwFlags = 0;
    MMRESULT result = ::waveOutPrepareHeader(handle, &slot.header, sizeof(::WAVEHDR));
    if (result != MMSYSERR_NOERROR) return Failure(result);
  }
  slot.header.dwFlags &= ~WHDR_DONE;
  MMRESULT result = ::waveOutWrite(handle, &slot.header, sizeof(::WAVEHDR));
  if (result != MMSYSERR_NOERROR) return Failure(result);
  slot.queued = true;
  current = (current + 1) % slots.size();
  offset = 0;
  return 0;
}

int32_t WinmmPort::Play(const uint8_t* data, uint32_t bytes) {
  // Every Transfer ends with its last part-filled buffer written, so each starts on an empty
  // slot and nothing waits in the ring for a later Transfer.
  const bool anyQueued = std::any_of(slots.begin(), slots.end(), [](const auto& slot) { return slot->queued; });
  const bool anyPlaying =
      std::any_of(slots.begin(), slots.end(), [this](const auto& slot) { return slot->queued && !SlotDone(*slot); });
  if (anyQueued && !anyPlaying) ++underruns;
  uint32_t copied = 0;
  while (copied < bytes) {
    Slot& slot = *slots[current];
    if (offset == 0 && slot.queued && !SlotDone(slot)) {
      Wait wait = WaitDone();
      if (wait == Wait::kInterrupted) break;
      if (wait == Wait::kFailed) {
        if (copied == 0) return kTimedOut;
        break;
      }
      continue;
    }
    slot.queued = false;
    const uint32_t n = std::min(slotBytes - offset, bytes - copied);
    std::memcpy(slot.memory.data() + offset, data + copied, n);
    offset += n;
    copied += n;
    if (offset == slotBytes) {
      int32_t result = Submit();
      if (result < 0) {
        // The slot's audio is dropped; what went before it is in the device.
        offset = 0;
        copied -= n;
        return copied > 0 ? static_cast<int32_t>(copied) : result;
      }
    }
  }
  if (offset > 0) {
    const uint32_t pending = offset;
    int32_t result = Submit();
    if (result < 0) {
      offset = 0;
      copied -= pending;
      return copied > 0 ? static_cast<int32_t>(copied) : result;
    }
  }
  return static_cast<int32_t>(copied);
}

void WinmmPort::Interrupt() { ::SetEvent(static_cast<HANDLE>(interruptEvent)); }

void WinmmPort::Stop() {
  // Reset hands every queued buffer back marked done; the ring starts over.
  if (capture) {
    ::waveInReset(InHandle(device));
    running = false;
  } else {
    ::waveOutReset(OutHandle(device));
    for (auto& slot : slots) slot->queued = false;
  }
  current = 0;
  offset = 0;
  ::ResetEvent(static_cast<HANDLE>(doneEvent));
  ::ResetEvent(static_cast<HANDLE>(interruptEvent));
}

DeviceCounters WinmmPort::Counters() const {
  DeviceCounters counters;
  counters.underruns = underruns;
  counters.overruns = overruns;
  return counters;
}

std::unique_ptr<Mixer> WinmmPort::OpenHardwareMixer() {
  if (!capture) return nullptr;
  return WinmmMixer::OpenCaptureMixer(device);
}

}  // namespace ve::platform
