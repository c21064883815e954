#include "platform/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace ve::platform {

namespace {

std::atomic<uint32_t> nextThreadId{1};

// Audio threads ask for a low real-time priority: above every normal thread, below the
// system's own real-time work (interrupt threads run near the middle of the range).
//
// Device driver threads sit one step below the audio threads they wake. A real-time thread
// woken by one of equal priority cannot preempt it, so the scheduler would send it to another
// CPU (an interprocessor interrupt, costly in a virtual machine); one step above, it runs at
// once on the driver's CPU while the driver goes back to sleep. On a 2-CPU virtual machine
// this cuts a call's CPU by about a quarter.
constexpr int kDriverPriorityStep = 9;
constexpr int kAudioPriorityStep = 10;

sched_param LowRealTimePriority(int step) {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO) + step;
  return param;
}

}  // namespace

// Start gate shared by the Thread object and the running thread, so either may go first.
struct Thread::Gate {
  enum class State { Suspended, Resumed, Terminated };
  std::mutex mutex;
  std::condition_variable changed;
  State state = State::Suspended;
  std::thread::id runningId;
};

Thread::Thread(std::shared_ptr<Gate> g, uint32_t threadId) : gate(std::move(g)), id(threadId) {}

Thread* Thread::CreateSuspended(Entry entry, void* argument) {
  auto gate = std::make_shared<Gate>();
  uint32_t id = nextThreadId.fetch_add(1);
  if (id == 0) id = nextThreadId.fetch_add(1);
  auto* handle = new Thread(gate, id);
  try {
    handle->thread = std::thread([gate, entry, argument] {
      {
        std::unique_lock<std::mutex> guard(gate->mutex);
        gate->changed.wait(guard, [&] { return gate->state != Gate::State::Suspended; });
        if (gate->state == Gate::State::Terminated) return;
      }
      entry(argument);
    });
  } catch (const std::system_error&) {
    delete handle;
    return nullptr;
  }
  gate->runningId = handle->thread.get_id();
  return handle;
}

Thread::~Thread() {
  {
    std::lock_guard<std::mutex> guard(gate->mutex);
    if (gate->state == Gate::State::Suspended) gate->state = Gate::State::Terminated;
    gate->changed.notify_all();
  }
  // Closing the handle never waits: the owner waits for the thread's own end signal.
  if (thread.joinable()) thread.detach();
}

bool Thread::Resume() {
  std::lock_guard<std::mutex> guard(gate->mutex);
  if (gate->state != Gate::State::Suspended) return false;
  gate->state = Gate::State::Resumed;
  gate->changed.notify_all();
  return true;
}

bool Thread::Terminate() {
  std::lock_guard<std::mutex> guard(gate->mutex);
  if (gate->state == Gate::State::Resumed) return false;
  gate->state = Gate::State::Terminated;
  gate->changed.notify_all();
  return true;
}

bool Thread::SetPriority(int priority) {
  if (!thread.joinable()) return false;
  if (priority < kTimeCritical) return true;
  sched_param param = LowRealTimePriority(kAudioPriorityStep);
  return pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param) == 0;
}

bool RaiseCurrentThreadPriority() {
  sched_param param = LowRealTimePriority(kDriverPriorityStep);
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
  // Without real-time rights a lower nice value may still be allowed (RLIMIT_NICE); on Linux
  // the thread id names this thread alone. The largest step the system grants is taken.
  const id_t self = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, self);
  if (current == -1 && errno != 0) return false;
  for (int step : {10, 5, 1}) {
    const int wanted = current - step < -20 ? -20 : current - step;
    if (wanted < current && setpriority(PRIO_PROCESS, self, wanted) == 0) return true;
  }
  return false;
}

bool Thread::IsCurrent() const { return gate->runningId == std::this_thread::get_id(); }

}  // namespace ve::platform
