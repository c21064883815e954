#pragma once

#include <atomic>
#include <cstdint>
#include <set>

#include "framework/AudioSinkListener.h"
#include "framework/AudioSourceListener.h"
#include "framework/SampleList.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace ve {

// Base of every component that consumes samples. It is driven in exactly one of two ways:
// its own worker thread pulls from every upstream source and processes what it got (Start),
// or it is opened (Open) and runs only when an upstream component pushes a sample into it, on
// that component's thread.
//
// Threads: Start/Stop/Open/Close come from the owner. The worker thread runs the pull cycle;
// TakeNextAudioSample runs on the pushing thread. `stateLock` guards opened, running,
// stopRequested, threadHandle and threadId; `sourcesLock` guards `sources` and is held across
// every pull; `stopLock` serialises Stop callers. `sampleList` is shared by the pull and push
// cycles unlocked, which is why a component is either running or opened, never both.
class AudioSink : public AudioSourceListener {
 public:
  AudioSink();
  ~AudioSink() override;
  AudioSink(const AudioSink&) = delete;
  AudioSink& operator=(const AudioSink&) = delete;

  // Push cycle: collects `sample` (may be null) and one sample from every other source, then
  // returns what ProcessSamples returned.
  int32_t TakeNextAudioSample(AudioSample* sample, AudioSinkListener* source) override;

  // 0, or -10 opened/running, -20 a thread is still recorded, -30 thread creation failed,
  // -40 OnThreadStart failed (the thread ends at once), -50 resume failed.
  virtual int32_t Start();
  // Ends the worker thread and waits for it; 0 also when none runs. Not from the worker itself.
  virtual int32_t Stop();
  // 0, or -10 running/opened, -20 OnOpen failed.
  int32_t Open();
  // 0 (also when not opened), or -10 running, -20 OnClose failed.
  int32_t Close();

  int32_t AddSource(AudioSinkListener* source);
  int32_t RemoveSource(AudioSinkListener* source);

  bool IsRunning();
  bool IsOpened();

 protected:
  virtual int32_t OnThreadStart(platform::Thread* thread, uint32_t threadId);
  virtual int32_t OnThreadEnd(platform::Thread* thread, uint32_t threadId);
  virtual int32_t OnOpen();
  virtual int32_t OnClose();
  virtual int32_t ProcessSamples(SampleList* list);

  // One pull from every source except `except`, appending what each gave to `sampleList`.
  // The caller holds no lock; this takes sourcesLock.
  void PullSources(AudioSinkListener* except);

  std::set<AudioSinkListener*> sources;
  SampleList sampleList;
  platform::Thread* threadHandle = nullptr;
  uint32_t threadId = 0;
  bool opened = false;
  // Written by the worker thread without stateLock (Start holds it while waiting for the
  // thread's first act), hence atomic.
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequested{true};
  platform::Event startedEvent;
  platform::Event endedEvent;
  platform::CriticalSection sourcesLock;
  platform::CriticalSection spareLock;  // free for derived components
  platform::CriticalSection stateLock;
  platform::CriticalSection stopLock;

 private:
  static uint32_t ThreadMain(void* self);
  void RunThread();
};

}  // namespace ve
