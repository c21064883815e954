#pragma once

#include <cstdint>
#include <memory>
#include <thread>

namespace ve::platform {

// A worker thread that is created suspended: its entry runs only after Resume, so the creator
// can record the handle, set the priority and open devices first. Deleting the Thread object
// closes the handle only; a resumed thread keeps running to the end of its entry (a thread may
// delete its own handle as its last act). A thread deleted before it was resumed never runs.
class Thread {
 public:
  using Entry = uint32_t (*)(void* argument);

  // Priority of the audio threads (capture, playback, network receive).
  static constexpr int kTimeCritical = 15;

  // Returns nullptr when the system cannot create a thread.
  static Thread* CreateSuspended(Entry entry, void* argument);

  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Non-zero, unique within the process.
  uint32_t Id() const { return id; }

  // Lets the entry run. False if the thread was already resumed or terminated.
  bool Resume();

  // Ends a thread that has not been resumed: it leaves without running its entry.
  // False if it is already running.
  bool Terminate();

  // kTimeCritical raises the thread's priority (Linux: a lower nice value; Windows: time
  // critical); other values leave it as it is. A refusal by the system is reported as false
  // and otherwise ignored.
  bool SetPriority(int priority);

  // True when called on this thread.
  bool IsCurrent() const;

#ifdef _WIN32
  // What the new thread receives from the system (defined with the implementation).
  struct Start;

 private:
  Thread(void* handle, Start* start, uint32_t id);

  void* handle;  // the system's thread handle, created suspended
  Start* start;  // handed to the thread when it is resumed or terminated, then its own
  bool released = false;
#else
 private:
  struct Gate;
  Thread(std::shared_ptr<Gate> gate, uint32_t id);

  std::shared_ptr<Gate> gate;
  std::thread thread;
#endif
  uint32_t id;
};

// Raises the calling thread's scheduling priority as far as the system allows, for threads
// that move audio to or from a device. Linux: a lower nice value; Windows: time-critical,
// else highest. False when nothing was granted, in
// which case the thread is left as it was; callers may ignore it.
bool RaiseCurrentThreadPriority();

}  // namespace ve::platform
