#pragma once

#include <cstdint>
#include <mutex>

#include "audio/FileSourceListener.h"
#include "platform/Event.h"
#include "platform/WaveFormat.h"

class VoiceEngine;

namespace ve {

class AcmConverterFilter;
class AudioSink;
class FileEndNotifier;
class VolumeFilter;
class WavFileSource;

// One play of a WAV file: WavFileSource -> AcmConverterFilter -> VolumeFilter -> an output
// (the engine's second speaker, or a mixer of the call). States: Idle (0) -> Starting (1) by
// Play -> Playing (2) when the source reports its start -> Stopping (3) by Stop or at the end
// of the file -> Idle again once the chain is taken apart. A finished player cannot play
// again; the engine deletes it.
//
// Threads: the engine's host thread calls Play, Stop and the setters; OnFileStarted runs
// inside Play (on that thread), OnFileEnded on the source's worker thread or inside Stop.
// `lock` guards `state`; `stateEvent` is signalled on every state change. An end of file that
// Stop did not cause is reported to the engine on a short-lived notification thread.
class FilePlayer : public FileSourceListener {
 public:
  enum State : int32_t { kIdle = 0, kStarting = 1, kPlaying = 2, kStopping = 3 };

  FilePlayer(VoiceEngine* engine, FileEndNotifier* notifier, AudioSink* output, int32_t frameMs, bool sendSide,
             int32_t id);
  ~FilePlayer() override;
  FilePlayer(const FilePlayer&) = delete;
  FilePlayer& operator=(const FilePlayer&) = delete;

  int32_t OpenFile(const char* name);
  int32_t SetLoop();
  int32_t ClearLoop();
  int32_t SetLevel(int32_t level);
  int32_t GetLevel();
  int32_t SetOutputFormat(const WAVEFORMATEX* format);
  int32_t SetFrameDuration(int32_t ms);
  void SetOutput(AudioSink* sink);
  void ClearOutput();

  bool IsActive();
  int32_t GetId() const { return fileId; }
  bool IsSendSide() const { return sendSide; }

  // 0, or -10 a concurrent start failed, -20 stopping, -30 bad state, -35/-40/-50/-60/-70
  // reading the format / source format / volume prepare / converter prepare / source start.
  int32_t Play();
  // 0, or -10 while the player is starting.
  int32_t Stop();

  void OnFileStarted(WavFileSource* source, const char* fileName) override;
  void OnFileEnded(WavFileSource* source, const char* fileName) override;

  // The next value of the process-wide id counter, which nothing resets: 1, 2, ... and back to
  // 1 after the largest int32.
  static int32_t NextId();

 private:
  void SetState(int32_t newState);
  // Takes the chain apart after a play: unlinks source, converter, volume and output.
  void Dismantle();

  VoiceEngine* engine;
  FileEndNotifier* notifier;
  WavFileSource* source;
  AcmConverterFilter* converter;
  VolumeFilter* volume;
  AudioSink* output = nullptr;
  int32_t fileId;
  bool sendSide;
  std::mutex lock;
  platform::Event stateEvent;
  int32_t state = kIdle;
};

}  // namespace ve
