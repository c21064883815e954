#pragma once

#include <atomic>
#include <cstdint>
#include <set>

#include "framework/AudioSinkListener.h"
#include "framework/AudioSourceListener.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace ve {

// Base of every component that produces samples. Its own worker thread produces a sample per
// cycle and pushes it to every listener (Start); a downstream sink may also pull a sample
// (GiveNextAudioSample), which is then fanned out to the other listeners.
//
// Threads: Start/Stop/Open/Close come from the owner; the worker runs ProduceSample and the
// pushes; GiveNextAudioSample runs on the pulling thread. `stateLock` guards the flags, the
// handle and the id; `listenersLock` guards `listeners` and is held across every push;
// `stopLock` serialises Stop callers.
class AudioSource : public AudioSinkListener {
 public:
  AudioSource();
  ~AudioSource() override;
  AudioSource(const AudioSource&) = delete;
  AudioSource& operator=(const AudioSource&) = delete;

  // Pull with fan-out: produces one sample for `sink` and pushes it to every other listener.
  int32_t GiveNextAudioSample(AudioSample** out, AudioSourceListener* sink) override;

  // 0, or -10 opened/running, -20 a thread is recorded or cannot be created, -30 OnThreadStart
  // failed (the thread ends at once), -40 resume failed.
  virtual int32_t Start();
  // Ends the worker thread and waits for it; 0 also when none runs. Not from the worker itself.
  virtual int32_t Stop();
  // 0, or -10 running/opened, -20 OnOpen failed.
  int32_t Open();
  // Calls OnClose whether or not opened and clears `opened`; -10 running, -20 OnClose failed.
  int32_t Close();

  int32_t AddListener(AudioSourceListener* listener);
  int32_t RemoveListener(AudioSourceListener* listener);

  bool IsRunning();
  bool IsOpened();

 protected:
  virtual int32_t OnThreadStart(platform::Thread* thread, uint32_t threadId);
  virtual int32_t OnThreadEnd(platform::Thread* thread, uint32_t threadId);
  virtual int32_t OnOpen();
  virtual int32_t OnClose();
  // Produces the next sample into `*out` (or none). A negative result ends the worker thread;
  // a positive one counts as success.
  virtual int32_t ProduceSample(AudioSample** out);

  // Pushes `sample` (even null) to every listener except `except`, under listenersLock.
  void PushToListeners(AudioSample* sample, AudioSourceListener* except);

  std::set<AudioSourceListener*> listeners;
  platform::Thread* threadHandle = nullptr;
  uint32_t threadId = 0;
  bool opened = false;
  // Written by the worker thread without stateLock (Start holds it while waiting for the
  // thread's first act), hence atomic.
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequested{true};
  platform::Event startedEvent;
  platform::Event endedEvent;
  platform::CriticalSection listenersLock;
  platform::CriticalSection spareLock;  // free for derived components
  platform::CriticalSection stateLock;
  platform::CriticalSection stopLock;

 private:
  static uint32_t ThreadMain(void* self);
  void RunThread();
};

}  // namespace ve
