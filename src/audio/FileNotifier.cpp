#include "audio/FileNotifier.h"

#include <algorithm>
#include <mutex>

#include "audio/FileSourceListener.h"

namespace ve {

FileNotifier::FileNotifier() { fileListeners.reserve(4); }

FileNotifier::~FileNotifier() = default;

int32_t FileNotifier::AddFileListener(FileSourceListener* listener) {
  std::lock_guard<platform::CriticalSection> guard(listenerLock);
  if (listener != nullptr && std::find(fileListeners.begin(), fileListeners.end(), listener) == fileListeners.end()) {
    fileListeners.push_back(listener);
  }
  return 0;
}

int32_t FileNotifier::RemoveFileListener(FileSourceListener* listener) {
  std::lock_guard<platform::CriticalSection> guard(listenerLock);
  fileListeners.erase(std::remove(fileListeners.begin(), fileListeners.end(), listener), fileListeners.end());
  return 0;
}

void FileNotifier::NotifyFileStarted(WavFileSource* source, const char* fileName) {
  std::lock_guard<platform::CriticalSection> guard(listenerLock);
  // By index: a listener that removes itself from inside its notification is safe.
  for (size_t i = 0; i < fileListeners.size(); ++i) fileListeners[i]->OnFileStarted(source, fileName);
}

void FileNotifier::NotifyFileEnded(WavFileSource* source, const char* fileName) {
  std::lock_guard<platform::CriticalSection> guard(listenerLock);
  for (size_t i = 0; i < fileListeners.size(); ++i) fileListeners[i]->OnFileEnded(source, fileName);
}

}  // namespace ve
