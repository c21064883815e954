#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class VoiceEngine;

namespace ve {

// Reports files that ended by themselves to their engine, each on a short-lived thread of its
// own, so the source thread that saw the end never calls into the engine (which may be
// stopping that very source). Shutdown waits until no notification is inside the engine;
// notifications that start after it do nothing.
//
// One notifier per engine (the engine owns it), so two engines in one process do not share it.
// Threads: Notify from any thread; Shutdown from the engine's host thread. `mutex` guards
// `active` and `shuttingDown`; `idle` is signalled each time a notification finishes.
class FileEndNotifier {
 public:
  explicit FileEndNotifier(VoiceEngine* engine);
  ~FileEndNotifier();
  FileEndNotifier(const FileEndNotifier&) = delete;
  FileEndNotifier& operator=(const FileEndNotifier&) = delete;

  // Starts a thread that calls OnLocalFileEnded (notifyLocal) or OnSentFileEnded.
  void Notify(int32_t fileId, bool notifyLocal);
  // Refuses new notifications and waits for those in flight.
  void Shutdown();

 private:
  struct Message {
    int32_t fileId;
    bool notifyLocal;
    FileEndNotifier* notifier;
  };
  static uint32_t Run(void* message);

  VoiceEngine* engine;
  std::mutex mutex;
  std::condition_variable idle;
  int32_t active = 0;  // threads started and not yet finished
  bool shuttingDown = false;
};

}  // namespace ve
