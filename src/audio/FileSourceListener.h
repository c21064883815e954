#pragma once

namespace ve {

class WavFileSource;

// Told when a WavFileSource starts playing its file and when the play ends, with the file's
// name. The defaults do nothing.
//
// Threads: OnFileStarted runs on the thread that starts the source, OnFileEnded on the
// source's ending worker thread (or inside its Stop); both inside the source's file lock, so
// a listener must not call back into the source's start or stop from them.
class FileSourceListener {
 public:
  virtual ~FileSourceListener() = default;
  virtual void OnFileStarted(WavFileSource* /*source*/, const char* /*fileName*/) {}
  virtual void OnFileEnded(WavFileSource* /*source*/, const char* /*fileName*/) {}
};

}  // namespace ve
