#include "framework/AudioSource.h"

#include <mutex>

#include "framework/AudioSample.h"

namespace ve {

AudioSource::AudioSource() = default;

AudioSource::~AudioSource() {
  // The owner stops the component before deleting it. A worker that ended by itself may still
  // be leaving its final stateLock section; wait for that before the members go away.
  std::lock_guard<platform::CriticalSection> guard(stateLock);
}

int32_t AudioSource::AddListener(AudioSourceListener* listener) {
  std::lock_guard<platform::CriticalSection> guard(listenersLock);
  listeners.insert(listener);
  return 0;
}

int32_t AudioSource::RemoveListener(AudioSourceListener* listener) {
  std::lock_guard<platform::CriticalSection> guard(listenersLock);
  listeners.erase(listener);
  return 0;
}

bool AudioSource::IsRunning() {
  // Under stateLock: a worker ending by itself is seen as running until its ending steps are done.
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  return running;
}

bool AudioSource::IsOpened() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  return opened;
}

void AudioSource::PushToListeners(AudioSample* sample, AudioSourceListener* except) {
  std::lock_guard<platform::CriticalSection> guard(listenersLock);
  for (AudioSourceListener* listener : listeners) {
    if (listener != except) listener->TakeNextAudioSample(sample, this);
  }
}

int32_t AudioSource::GiveNextAudioSample(AudioSample** out, AudioSourceListener* sink) {
  *out = nullptr;
  int32_t result = ProduceSample(out);
  if (result != 0 || *out == nullptr) {
    if (*out != nullptr) (*out)->Release();
    *out = nullptr;
  }
  PushToListeners(*out, sink);
  return result;
}

int32_t AudioSource::Start() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  if (opened || running) return -10;
  if (threadHandle != nullptr || threadId != 0) return -20;
  startedEvent.Reset();
  endedEvent.Reset();
  stopRequested = true;
  threadHandle = platform::Thread::CreateSuspended(&AudioSource::ThreadMain, this);
  if (threadHandle == nullptr) {
    threadId = 0;
    return -20;
  }
  threadId = threadHandle->Id();
  int32_t result = OnThreadStart(threadHandle, threadId) != 0 ? -30 : 0;
  if (result == 0) stopRequested = false;
  if (!threadHandle->Resume()) {
    threadHandle->Terminate();
    delete threadHandle;
    threadHandle = nullptr;
    threadId = 0;
    return -40;
  }
  startedEvent.Wait();
  return result;
}

int32_t AudioSource::Stop() {
  std::lock_guard<platform::CriticalSection> stopGuard(stopLock);
  bool wait = false;
  {
    std::lock_guard<platform::CriticalSection> guard(stateLock);
    if (running) {
      stopRequested = true;
      wait = true;
    }
  }
  if (wait) endedEvent.Wait();
  return 0;
}

int32_t AudioSource::Open() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  if (running || opened) return -10;
  if (OnOpen() != 0) return -20;
  opened = true;
  return 0;
}

int32_t AudioSource::Close() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  if (running) return -10;
  int32_t result = OnClose() != 0 ? -20 : 0;
  opened = false;
  return result;
}

int32_t AudioSource::OnThreadStart(platform::Thread*, uint32_t) { return 0; }
int32_t AudioSource::OnThreadEnd(platform::Thread*, uint32_t) { return 0; }
int32_t AudioSource::OnOpen() { return 0; }
int32_t AudioSource::OnClose() { return 0; }
int32_t AudioSource::ProduceSample(AudioSample**) { return 0; }

uint32_t AudioSource::ThreadMain(void* self) {
  static_cast<AudioSource*>(self)->RunThread();
  return 0;
}

void AudioSource::RunThread() {
  running = true;
  startedEvent.Set();
  while (!stopRequested) {
    AudioSample* pAudioSample = nullptr;
    if (ProduceSample(&pAudioSample) < 0) {
      if (pAudioSample != nullptr) pAudioSample->Release();
      break;
    }
    PushToListeners(pAudioSample, nullptr);
    if (pAudioSample != nullptr) pAudioSample->Release();
  }
  {
    std::lock_guard<platform::CriticalSection> guard(stateLock);
    running = false;
    OnThreadEnd(threadHandle, threadId);
    delete threadHandle;  // closes the handle; this thread runs on to its end
    threadHandle = nullptr;
    threadId = 0;
    // Signalled before stateLock is left: releasing stateLock is the thread's last touch of
    // the object, and the destructor takes stateLock once to wait for exactly that.
    endedEvent.Set();
  }
}

}  // namespace ve
