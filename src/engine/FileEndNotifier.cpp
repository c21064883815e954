#include "engine/FileEndNotifier.h"

#include "platform/Thread.h"
#include "voiceengine/VoiceEngine.h"

namespace ve {

FileEndNotifier::FileEndNotifier(VoiceEngine* owner) : engine(owner) {}

FileEndNotifier::~FileEndNotifier() { Shutdown(); }

void FileEndNotifier::Notify(int32_t fileId, bool notifyLocal) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (shuttingDown) return;
    // Counted before the thread exists, so a Shutdown right after this call still waits for it.
    ++active;
  }
  auto* message = new Message{fileId, notifyLocal, this};
  platform::Thread* thread = platform::Thread::CreateSuspended(&FileEndNotifier::Run, message);
  if (thread == nullptr || !thread->Resume()) {
    delete thread;
    delete message;
    std::lock_guard<std::mutex> guard(mutex);
    --active;
    idle.notify_all();
    return;
  }
  delete thread;  // the handle is not kept; the thread runs to its end
}

uint32_t FileEndNotifier::Run(void* argument) {
  auto* message = static_cast<Message*>(argument);
  FileEndNotifier* self = message->notifier;
  bool deliver;
  {
    std::lock_guard<std::mutex> guard(self->mutex);
    deliver = !self->shuttingDown;
  }
  if (deliver) {
    if (message->notifyLocal) {
      self->engine->OnLocalFileEnded(message->fileId);
    } else {
      self->engine->OnSentFileEnded(message->fileId);
    }
  }
  delete message;
  std::lock_guard<std::mutex> guard(self->mutex);
  --self->active;
  self->idle.notify_all();  // under the lock: Shutdown cannot return and free us before this
  return 0;
}

void FileEndNotifier::Shutdown() {
  std::unique_lock<std::mutex> guard(mutex);
  shuttingDown = true;
  idle.wait(guard, [this] { return active < 1; });
}

}  // namespace ve
