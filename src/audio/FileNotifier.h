#pragma once

#include <cstdint>
#include <vector>

#include "platform/CriticalSection.h"

namespace ve {

class FileSourceListener;
class WavFileSource;

// Holds the FileSourceListeners of a file source, each at most once, and tells them in the
// order they were added.
//
// Threads: any thread; `listenerLock` guards `fileListeners` and is held while they are told.
class FileNotifier {
 public:
  FileNotifier();
  virtual ~FileNotifier();
  FileNotifier(const FileNotifier&) = delete;
  FileNotifier& operator=(const FileNotifier&) = delete;

  int32_t AddFileListener(FileSourceListener* listener);
  int32_t RemoveFileListener(FileSourceListener* listener);

 protected:
  void NotifyFileStarted(WavFileSource* source, const char* fileName);
  void NotifyFileEnded(WavFileSource* source, const char* fileName);

 private:
  std::vector<FileSourceListener*> fileListeners;
  platform::CriticalSection listenerLock;
};

}  // namespace ve
