#include "audio/WaveInRecorder.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "platform/Clock.h"
#include "platform/Mixer.h"
#include "platform/WaveIn.h"

namespace ve {

using namespace platform;

namespace {

// A value within -4..4 counts as silence.
constexpr int32_t kSilenceLimit = 4;

bool IsLoud(const uint8_t* data, int32_t n, int32_t width) {
  for (int32_t at = 0; at + width <= n; at += width) {
    int32_t value;
    if (width == 1) {
      value = static_cast<int8_t>(data[at]);
    } else if (width == 2) {
      value = static_cast<int16_t>(data[at] | (data[at + 1] << 8));
    } else {
      uint32_t raw = static_cast<uint32_t>(data[at]) | (static_cast<uint32_t>(data[at + 1]) << 8) |
                     (static_cast<uint32_t>(data[at + 2]) << 16) | (static_cast<uint32_t>(data[at + 3]) << 24);
      int64_t wide = static_cast<int32_t>(raw);
      if (wide > kSilenceLimit || wide < -kSilenceLimit) return true;
      continue;
    }
    if (value > kSilenceLimit || value < -kSilenceLimit) return true;
  }
  return false;
}

// Sets one line's volume, then its mute. Returns 0 when no volume could be set, 1 when the
// volume was set and the line had a mute control, 2 when it was set and had none.
int SetLine(HMIXER mixer, uint32_t lineId, uint32_t level) {
  MIXERCONTROL control;
  uint32_t value = 0;
  if (mixerGetLineControls(mixer, lineId, MIXERCONTROL_CONTROLTYPE_VOLUME, &control) != MMSYSERR_NOERROR ||
      mixerGetControlDetails(mixer, control.dwControlID, &value) != MMSYSERR_NOERROR ||
      mixerSetControlDetails(mixer, control.dwControlID, level * 65535u / 100u) != MMSYSERR_NOERROR) {
    return 0;
  }
  if (mixerGetLineControls(mixer, lineId, MIXERCONTROL_CONTROLTYPE_MUTE, &control) != MMSYSERR_NOERROR) return 2;
  if (mixerGetControlDetails(mixer, control.dwControlID, &value) == MMSYSERR_NOERROR) {
    mixerSetControlDetails(mixer, control.dwControlID, level == 0 ? 1 : 0);
  }
  return 1;
}

}  // namespace

WaveInRecorder::WaveInRecorder() {
  GetStandardFormat(&format, kFormatPcm16);
}

WaveInRecorder::~WaveInRecorder() {
  // Waits for a transition in progress on another thread.
  std::lock_guard<CriticalSection> guard(transitionLock);
}

int32_t WaveInRecorder::SetDeviceId(uint32_t id) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  deviceId = id;
  return 0;
}

int32_t WaveInRecorder::SetBufferSize(uint32_t bytes) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (!started && bytes <= kMaxBufferSize) bufferSize = bytes;
  return 0;
}

int32_t WaveInRecorder::SetBufferCount(int32_t count) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (!started && count >= 1 && count <= kMaxBuffers) bufferCount = count;
  return 0;
}

int32_t WaveInRecorder::SetFormat(int32_t formatIndex) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (!started) GetStandardFormat(&format, formatIndex);
  return 0;
}

void WaveInRecorder::DeviceCallback(WaveStream*, uint32_t message, uintptr_t instance, WAVEHDR* header) {
  auto* self = reinterpret_cast<WaveInRecorder*>(instance);
  if (message == WIM_DATA) {
    {
      std::lock_guard<CriticalSection> guard(self->queueLock);
      self->doneQueue.push_back(header);
    }
    self->dataEvent.Set();
  } else if (message == WIM_CLOSE) {
    self->dataEvent.Set();
  }
}

int32_t WaveInRecorder::RequeueBuffer(uint32_t index) {
  if (DeviceGate::Pass pass = deviceGate.Enter()) {
    if (waveInAddBuffer(device, &headers[index]) == MMSYSERR_NOERROR) return 0;
    // The buffer stays out of use until the device is closed; the close does not wait for it.
    std::lock_guard<CriticalSection> queueGuard(queueLock);
    --headersOut;
    return -10;
  }
  // Stopping: the buffer is parked so that CloseDevice can count it home.
  {
    std::lock_guard<CriticalSection> guard(queueLock);
    doneQueue.push_back(&headers[index]);
  }
  dataEvent.Set();
  return 0;
}

int32_t WaveInRecorder::OpenDevice() {
  {
    std::lock_guard<CriticalSection> guard(queueLock);
    doneQueue.clear();
    headersOut = 0;
  }
  dataEvent.Reset();
  pool = AudioSamplePool::Instance();
  const uintptr_t instance = reinterpret_cast<uintptr_t>(this);
  if (waveInOpen(&device, deviceId, &format, &WaveInRecorder::DeviceCallback, instance) != MMSYSERR_NOERROR) {
    Sleep(kRetryMs);
    if (waveInOpen(&device, deviceId, &format, &WaveInRecorder::DeviceCallback, instance) != MMSYSERR_NOERROR) {
      device = nullptr;
      return -10;
    }
  }
  // The buffers are handed to the device through the gate, as the worker hands them back.
  deviceGate.Open();
  for (int32_t i = 0; i < bufferCount; ++i) {
    WAVEHDR& header = headers[i];
    header = WAVEHDR{};
    header.lpData = buffers[i];
    header.dwBufferLength = bufferSize;
    header.dwUser = static_cast<uintptr_t>(i);
    if (waveInPrepareHeader(device, &header) != MMSYSERR_NOERROR) continue;  // never comes back
    {
      std::lock_guard<CriticalSection> queueGuard(queueLock);
      ++headersOut;
    }
    RequeueBuffer(static_cast<uint32_t>(i));
  }
  return waveInStart(device) == MMSYSERR_NOERROR ? 0 : -20;
}

int32_t WaveInRecorder::CloseDevice() {
  // Once a requeue in progress is done, this thread has the device to itself: buffers handed
  // back from now on are parked for the count below.
  deviceGate.Close();
  MMRESULT reset = waveInReset(device);
  if (reset != MMSYSERR_NOERROR) return static_cast<int32_t>(reset);
  for (;;) {
    {
      std::lock_guard<CriticalSection> guard(queueLock);
      if (static_cast<int32_t>(doneQueue.size()) >= headersOut) break;
    }
    dataEvent.Wait();
  }
  for (int32_t i = 0; i < bufferCount; ++i) waveInUnprepareHeader(device, &headers[i]);
  MMRESULT closed = waveInClose(device);
  device = nullptr;
  // A consumer still blocked in ProduceSample sees the device closed and returns.
  dataEvent.Set();
  return static_cast<int32_t>(closed);
}

void WaveInRecorder::ApplyVolume(uint32_t level) {
  HMIXER mixer = nullptr;
  if (mixerOpen(&mixer, device) != MMSYSERR_NOERROR) return;
  bool volumeSet = false;
  MIXERLINE destination;
  destination.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  if (mixerGetLineInfo(mixer, &destination, MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR) {
    for (uint32_t index = 0; index < destination.cConnections; ++index) {
      MIXERLINE source;
      source.dwDestination = destination.dwDestination;
      source.dwSource = index;
      if (mixerGetLineInfo(mixer, &source, MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR) continue;
      bool microphone = source.dwComponentType == MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
      if (!microphone && source.dwComponentType != MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED) continue;
      int set = SetLine(mixer, source.dwLineID, level);
      if (set == 0) break;
      volumeSet = true;
      // A microphone line ends the pass; an undefined line without a mute lets later lines in.
      if (set == 1 || microphone) break;
    }
  }
  if (!volumeSet) {
    destination = MIXERLINE{};
    destination.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    if (mixerGetLineInfo(mixer, &destination, MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR) {
      SetLine(mixer, destination.dwLineID, level);
    }
  }
  mixerClose(mixer);
}

int32_t WaveInRecorder::SetVolume(uint32_t level) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (!started) {
    volumePending = true;
    inputVolume = level;
    return 0;
  }
  ApplyVolume(level);
  inputVolume = level;
  return 0;
}

int32_t WaveInRecorder::OnThreadStart(Thread* thread, uint32_t) {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (thread != nullptr) thread->SetPriority(Thread::kTimeCritical);
  if (OpenAndStart() != 0) return -10;
  return 0;
}

int32_t WaveInRecorder::OnOpen() {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (started) return -10;
  if (OpenAndStart() != 0) return -20;
  return 0;
}

int32_t WaveInRecorder::OpenAndStart() {
  int32_t result = OpenDevice();
  if (result != 0) {
    // The device opened but would not start: it must not stay open.
    if (device != nullptr) CloseDevice();
    return result;
  }
  if (volumePending) {
    ApplyVolume(inputVolume);
    volumePending = false;
  }
  started = true;
  return 0;
}

int32_t WaveInRecorder::OnThreadEnd(Thread*, uint32_t) { return OnClose(); }

int32_t WaveInRecorder::OnClose() {
  std::lock_guard<CriticalSection> guard(transitionLock);
  if (!started) return -10;
  if (CloseDevice() != 0) return -20;
  volumePending = false;
  started = false;
  return 0;
}

int32_t WaveInRecorder::ProduceSample(AudioSample** out) {
  *out = nullptr;
  bool waited = false;
  WAVEHDR* header = nullptr;
  for (;;) {
    if (!deviceGate.IsOpen()) {
      // The wake-up may have been meant for a CloseDevice waiting on the same event.
      if (waited) dataEvent.Set();
      return 0;
    }
    {
      std::lock_guard<CriticalSection> guard(queueLock);
      if (!doneQueue.empty()) {
        header = doneQueue.front();
        doneQueue.pop_front();
        break;
      }
    }
    dataEvent.Wait();
    waited = true;
  }

  AudioSample* sample = nullptr;
  pool->Get(&sample);
  *out = sample;
  sample->SetFormat(&format);
  int32_t n = std::min(static_cast<int32_t>(header->dwBytesRecorded), sample->Capacity());
  sample->SetDataSize(n);
  const int32_t width = format.wBitsPerSample / 8;
  // Widths other than 1, 2 and 4 bytes are never set; such audio counts as loud.
  bool loud = (width == 1 || width == 2 || width == 4) ? IsLoud(header->lpData, n, width) : n > 0;
  if (inputVolume != 0 && loud) {
    std::memcpy(sample->Data(), header->lpData, static_cast<size_t>(n));
    if (width == 2) peakMeter.Measure(sample->Data(), n);
  } else {
    sample->SetSilenceMs(sample->DurationMs());
    sample->SetDataSize(0);
    peakMeter.Silence();
  }
  RequeueBuffer(static_cast<uint32_t>(header->dwUser));
  return 0;
}

}  // namespace ve
