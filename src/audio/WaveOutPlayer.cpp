#include "audio/WaveOutPlayer.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "platform/Clock.h"
#include "platform/WaveOut.h"

namespace ve {

using namespace platform;

WaveOutPlayer::WaveOutPlayer() {
  GetStandardFormat(&format, kFormatPcm16);
}

WaveOutPlayer::~WaveOutPlayer() {
  // Waits for a transition in progress on another thread.
  std::lock_guard<CriticalSection> guard(transitionLock);
}

int32_t WaveOutPlayer::SetDeviceId(uint32_t id) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  deviceId = id;
  return 0;
}

uint32_t WaveOutPlayer::GetDeviceId() {
  std::lock_guard<CriticalSection> guard(transitionLock);
  return deviceId;
}

int32_t WaveOutPlayer::SetBufferSize(uint32_t bytes) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  bufferSize = std::min(bytes, kMaxBufferSize);
  return 0;
}

int32_t WaveOutPlayer::SetBufferCount(uint32_t count) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  bufferCount = std::min(count, kMaxBuffers);
  return 0;
}

int32_t WaveOutPlayer::SetQueueDepth(uint32_t smallest) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  smallestQueue = std::min(smallest, kMaxBuffers);
  return 0;
}

int32_t WaveOutPlayer::SetFormat(int32_t formatIndex) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  // The open device keeps the format it was opened with.
  if (!started) GetStandardFormat(&format, formatIndex);
  return 0;
}

int32_t WaveOutPlayer::SetVolume(uint32_t level) {
  if (DeviceGate::Pass pass = deviceGate.Enter()) {
    uint32_t v = std::min(level, 100u) * 65535u / 100u;
    waveOutSetVolume(device, v * 0x10001u);
  }
  return 0;
}

void WaveOutPlayer::DeviceCallback(WaveStream*, uint32_t message, uintptr_t instance, WAVEHDR* header) {
  auto* self = reinterpret_cast<WaveOutPlayer*>(instance);
  if (message == WOM_DONE) {
    std::lock_guard<CriticalSection> guard(self->queueLock);
    self->doneQueue.push_back(header);
    if (self->inFlight > 0 && --self->inFlight == 0) {
      if (self->primed && !self->closing) {
        // The device played its last queued buffer: it runs dry until the writer comes.
        self->underruns.fetch_add(1);
        const uint32_t grown = std::min(self->queueTarget.load() + 1, self->openBufferCount);
        self->queueTarget = grown;
      }
      self->playedOut.Set();
    }
    self->doneEvent.Set();
  } else if (message == WOM_CLOSE) {
    self->doneEvent.Set();
  }
}

int32_t WaveOutPlayer::OpenDevice() {
  {
    std::lock_guard<CriticalSection> guard(queueLock);
    doneQueue.clear();
    inFlight = 0;
    primed = false;
  }
  closing = false;
  underruns = 0;
  cleanWrites = 0;
  const uintptr_t instance = reinterpret_cast<uintptr_t>(this);
  HWAVEOUT opened = nullptr;
  if (waveOutOpen(&opened, deviceId, &format, &WaveOutPlayer::DeviceCallback, instance) != MMSYSERR_NOERROR) {
    Sleep(kRetryMs);
    if (waveOutOpen(&opened, deviceId, &format, &WaveOutPlayer::DeviceCallback, instance) != MMSYSERR_NOERROR) {
      return -10;
    }
  }
  // Nobody else uses the device until the gate opens.
  device = opened;
  openBufferCount = bufferCount;
  openBufferSize = bufferSize;
  queueTarget = smallestQueue > 0 ? std::min(smallestQueue.load(), bufferCount) : bufferCount;
  seenUnderruns = 0;
  seenDeviceUnderruns = 0;
  int32_t result = 0;
  for (uint32_t i = 0; i < openBufferCount; ++i) {
    WAVEHDR& header = headers[i];
    header = WAVEHDR{};
    header.lpData = buffers[i];
    header.dwBufferLength = bufferSize;
    header.dwUser = i;
    result = static_cast<int32_t>(waveOutPrepareHeader(device, &header));
    if (result == 0) {
      std::lock_guard<CriticalSection> queueGuard(queueLock);
      doneQueue.push_back(&header);
    }
  }
  if (result == 0) deviceGate.Open();
  return result;
}

int32_t WaveOutPlayer::CloseDevice() {
  // Once the writer's and SetVolume's passes are back, this thread has the device to itself.
  deviceGate.Close();
  closing = true;
  WaitUntilPlayedOut();
  if (waveOutReset(device) != MMSYSERR_NOERROR) return -10;
  for (uint32_t i = 0; i < openBufferCount; ++i) waveOutUnprepareHeader(device, &headers[i]);
  if (waveOutClose(device) != MMSYSERR_NOERROR) return -30;
  device = nullptr;
  return 0;
}

int32_t WaveOutPlayer::OnThreadStart(Thread* thread, uint32_t) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (thread != nullptr) thread->SetPriority(Thread::kTimeCritical);
  if (OpenAndStart() != 0) return -10;
  return 0;
}

int32_t WaveOutPlayer::OnOpen() {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (started) return -10;
  if (OpenAndStart() != 0) return -20;
  return 0;
}

int32_t WaveOutPlayer::OpenAndStart() {
  int32_t result = OpenDevice();
  if (result != 0) {
    // A buffer that could not be prepared fails the open; the device must not stay open.
    if (device != nullptr) CloseDevice();
    return result;
  }
  started = true;
  return 0;
}

int32_t WaveOutPlayer::OnThreadEnd(Thread*, uint32_t) { return OnClose(); }

int32_t WaveOutPlayer::OnClose() {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (!started) return -10;
  if (CloseDevice() != 0) return -20;
  started = false;
  return 0;
}

void WaveOutPlayer::WaitUntilPlayedOut() {
  // What is queued plays to its end, as a device's stream does when it is stopped, so the end
  // of a file or of a call is heard; a device that stops handing buffers back is given the
  // queue's duration and a little more, then reset.
  const uint32_t bytesPerSecond = format.nAvgBytesPerSec != 0 ? format.nAvgBytesPerSec : 16000;
  uint64_t limit;
  {
    std::lock_guard<CriticalSection> guard(queueLock);
    limit = static_cast<uint64_t>(inFlight) * openBufferSize * 1000 / bytesPerSecond + kPlayOutSlackMs;
  }
  const uint32_t start = GetTickCount();
  for (;;) {
    {
      std::lock_guard<CriticalSection> guard(queueLock);
      if (inFlight == 0) return;
      // Reset under queueLock: the last buffer coming back after the check sets it again.
      playedOut.Reset();
    }
    const uint32_t waited = GetTickCount() - start;
    if (waited >= limit || !playedOut.Wait(static_cast<uint32_t>(limit - waited))) return;
  }
}

WAVEHDR* WaveOutPlayer::TakeFreeHeader() {
  for (;;) {
    if (!deviceGate.IsOpen()) return nullptr;
    {
      std::lock_guard<CriticalSection> guard(queueLock);
      if (!doneQueue.empty() && inFlight < queueTarget.load()) {
        WAVEHDR* header = doneQueue.front();
        doneQueue.pop_front();
        ++inFlight;
        if (inFlight >= queueTarget.load()) primed = true;
        return header;
      }
      // Reset under queueLock: a buffer returned after the check sets the event again.
      doneEvent.Reset();
    }
    doneEvent.Wait(kFreeHeaderWaitMs);
  }
}

void WaveOutPlayer::AdaptQueue(uint64_t deviceUnderruns) {
  const uint32_t smallest = smallestQueue.load();
  if (smallest == 0) return;
  // The device may run dry below this queue (a system ring that empties while ours is full):
  // it counts that itself, and the queue grows the same.
  if (deviceUnderruns > seenDeviceUnderruns) {
    seenDeviceUnderruns = deviceUnderruns;
    if (deviceUnderruns > underruns.load()) {
      underruns = deviceUnderruns;
      queueTarget = std::min(queueTarget.load() + 1, openBufferCount);
    }
  }
  // A long run without an underrun gives a buffer back, down to the smallest queue.
  const uint64_t now = underruns.load();
  if (now != seenUnderruns) {
    seenUnderruns = now;
    cleanWrites = 0;
  } else if (++cleanWrites >= kShrinkAfterWrites) {
    cleanWrites = 0;
    const uint32_t target = queueTarget.load();
    if (target > smallest) queueTarget = target - 1;
  }
}

int32_t WaveOutPlayer::ProcessSamples(SampleList* list) {
  if (list->Empty()) {
    Sleep(kIdleMs);
    return 0;
  }
  AudioSample* sample = list->First();
  WAVEHDR* header = TakeFreeHeader();
  if (header == nullptr) {
    Sleep(kIdleMs);
    return -10;
  }
  uint32_t n;
  if (sample->DataSize() < 1) {
    n = std::min(openBufferSize, static_cast<uint32_t>(std::max(sample->SilenceBytes(), 0)));
    std::memset(header->lpData, 0, n);
    peakMeter.Silence();
  } else {
    n = std::min(openBufferSize, static_cast<uint32_t>(sample->DataSize()));
    std::memcpy(header->lpData, sample->Data(), n);
    peakMeter.Measure(header->lpData, static_cast<int32_t>(n));
  }
  header->dwBufferLength = n;
  DeviceCounters counters;
  {
    DeviceGate::Pass pass = deviceGate.Enter();
    // Closed since the header was taken: the next open hands every header out afresh.
    if (!pass) return -10;
    waveOutGetCounters(device, &counters);
    waveOutWrite(device, header);
  }
  AdaptQueue(counters.underruns);
  return 0;
}

}  // namespace ve
