#include "platform/Thread.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace ve::platform {

namespace {
std::atomic<uint32_t> nextThreadId{1};
}

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
  sched_param param{};
  param.sched_priority = (sched_get_priority_min(SCHED_FIFO) + sched_get_priority_max(SCHED_FIFO)) / 4;
  return pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param) == 0;
}

bool RaiseCurrentThreadPriority() {
  sched_param param{};
  param.sched_priority = (sched_get_priority_min(SCHED_FIFO) + sched_get_priority_max(SCHED_FIFO)) / 4;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

bool Thread::IsCurrent() const { return gate->runningId == std::this_thread::get_id(); }

}  // namespace ve::platform
