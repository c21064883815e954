#include "framework/AudioSink.h"

#include <mutex>

#include "framework/AudioSample.h"

namespace ve {

AudioSink::AudioSink() = default;

AudioSink::~AudioSink() {
  // The owner stops the component before deleting it. A worker that ended by itself may still
  // be leaving its final stateLock section; wait for that before the members go away.
  { std::lock_guard<platform::CriticalSection> guard(stateLock); }
  sampleList.ReleaseAll();
}

int32_t AudioSink::AddSource(AudioSinkListener* source) {
  std::lock_guard<platform::CriticalSection> guard(sourcesLock);
  sources.insert(source);
  return 0;
}

int32_t AudioSink::RemoveSource(AudioSinkListener* source) {
  std::lock_guard<platform::CriticalSection> guard(sourcesLock);
  sources.erase(source);
  return 0;
}

bool AudioSink::IsRunning() {
  // Under stateLock: a worker ending by itself is seen as running until its ending steps are done.
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  return running;
}

bool AudioSink::IsOpened() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  return opened;
}

void AudioSink::PullSources(AudioSinkListener* except) {
  std::lock_guard<platform::CriticalSection> guard(sourcesLock);
  for (AudioSinkListener* source : sources) {
    if (source == except) continue;
    AudioSample* pAudioSample = nullptr;
    int32_t result = source->GiveNextAudioSample(&pAudioSample, this);
    if (result != 0) {
      if (pAudioSample != nullptr) pAudioSample->Release();
    } else if (pAudioSample != nullptr) {
      sampleList.Add(pAudioSample, source);
    }
  }
}

int32_t AudioSink::TakeNextAudioSample(AudioSample* sample, AudioSinkListener* source) {
  sampleList.ReleaseAll();
  if (sample != nullptr) {
    sample->AddRef();
    sampleList.Add(sample, source);
  }
  PullSources(source);
  int32_t result = ProcessSamples(&sampleList);
  sampleList.ReleaseAll();
  return result;
}

int32_t AudioSink::Start() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  if (opened || running) return -10;
  if (threadHandle != nullptr || threadId != 0) return -20;
  startedEvent.Reset();
  endedEvent.Reset();
  stopRequested = true;
  threadHandle = platform::Thread::CreateSuspended(&AudioSink::ThreadMain, this);
  if (threadHandle == nullptr) {
    threadId = 0;
    return -30;
  }
  threadId = threadHandle->Id();
  int32_t result = OnThreadStart(threadHandle, threadId) != 0 ? -40 : 0;
  if (result == 0) stopRequested = false;
  if (!threadHandle->Resume()) {
    threadHandle->Terminate();
    delete threadHandle;
    threadHandle = nullptr;
    threadId = 0;
    return -50;
  }
  // The worker takes stateLock only in its ending steps, so waiting here cannot deadlock.
  startedEvent.Wait();
  return result;
}

int32_t AudioSink::Stop() {
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

int32_t AudioSink::Open() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  if (running || opened) return -10;
  if (OnOpen() != 0) return -20;
  opened = true;
  return 0;
}

int32_t AudioSink::Close() {
  std::lock_guard<platform::CriticalSection> guard(stateLock);
  if (running) return -10;
  if (!opened) return 0;
  if (OnClose() != 0) return -20;
  opened = false;
  return 0;
}

int32_t AudioSink::OnThreadStart(platform::Thread*, uint32_t) { return 0; }
int32_t AudioSink::OnThreadEnd(platform::Thread*, uint32_t) { return 0; }
int32_t AudioSink::OnOpen() { return 0; }
int32_t AudioSink::OnClose() { return 0; }
int32_t AudioSink::ProcessSamples(SampleList*) { return 0; }

uint32_t AudioSink::ThreadMain(void* self) {
  static_cast<AudioSink*>(self)->RunThread();
  return 0;
}

void AudioSink::RunThread() {
  running = true;
  startedEvent.Set();
  while (!stopRequested) {
    sampleList.ReleaseAll();
    PullSources(nullptr);
    ProcessSamples(&sampleList);
    sampleList.ReleaseAll();
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
