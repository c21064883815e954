#include "engine/FilePlayer.h"

#include <algorithm>
#include <atomic>
#include <limits>

#include "audio/WavFileSource.h"
#include "codecs/AcmConverterFilter.h"
#include "engine/FileEndNotifier.h"
#include "framework/AudioFilter.h"
#include "framework/AudioSample.h"
#include "framework/VolumeFilter.h"
#include "voiceengine/VoiceEngine.h"

namespace ve {

namespace {
std::atomic<int32_t> fileIdCounter{0};
constexpr int64_t kSourceFrameMs = 20;
}

int32_t FilePlayer::NextId() {
  int32_t id = fileIdCounter.load();
  int32_t next;
  do {
    next = id == std::numeric_limits<int32_t>::max() ? 1 : id + 1;
  } while (!fileIdCounter.compare_exchange_weak(id, next));
  return next;
}

FilePlayer::FilePlayer(VoiceEngine* owner, FileEndNotifier* endNotifier, AudioSink* sink, int32_t frameMs,
                       bool isSendSide, int32_t id)
    : engine(owner),
      notifier(endNotifier),
      source(new WavFileSource()),
      converter(new AcmConverterFilter()),
      volume(new VolumeFilter()),
      fileId(id),
      sendSide(isSendSide) {
  source->AddFileListener(this);
  converter->SetFrameDuration(frameMs);
  Connect(source, converter->AsSink());
  Connect(converter->AsSource(), volume->AsSink());
  SetOutput(sink);
}

FilePlayer::~FilePlayer() {
  Stop();
  ClearOutput();
  // A source that ended by itself may still be leaving its thread's ending steps; its Stop
  // returns only once they are done.
  source->Stop();
  source->RemoveFileListener(this);
  Disconnect(source, converter->AsSink());
  Disconnect(converter->AsSource(), volume->AsSink());
  delete source;
  delete converter;
  delete volume;
}

int32_t FilePlayer::OpenFile(const char* name) {
  int32_t result = source->OpenFile(name);
  if (result != 0) return result;
  // The source reads 20 ms of the file per pooled sample; a file whose 20 ms do not fit in
  // one sample (44.1 kHz stereo and up) is read in shorter pieces. The converter re-cuts its
  // output into the call's frames, so the pieces' length is not heard.
  WAVEFORMATEX format{};
  if (source->GetFormat(&format) == 0 && format.nAvgBytesPerSec > 0) {
    const int64_t capacityMs = int64_t{AudioSample::kDefaultCapacity} * 1000 / format.nAvgBytesPerSec;
    if (capacityMs < kSourceFrameMs) source->SetFrameMs(static_cast<int32_t>(std::max<int64_t>(1, capacityMs)));
  }
  return 0;
}
int32_t FilePlayer::SetLoop() { return source->SetLoop(); }
int32_t FilePlayer::ClearLoop() { return source->ClearLoop(); }
int32_t FilePlayer::SetLevel(int32_t level) { return volume->SetLevel(level); }
int32_t FilePlayer::GetLevel() { return volume->GetLevel(); }
int32_t FilePlayer::SetOutputFormat(const WAVEFORMATEX* format) { return converter->SetDestinationFormat(format); }
int32_t FilePlayer::SetFrameDuration(int32_t ms) { return converter->SetFrameDuration(ms); }

void FilePlayer::SetOutput(AudioSink* sink) {
  ClearOutput();
  if (sink != nullptr) Connect(volume->AsSource(), sink);
  output = sink;
}

void FilePlayer::ClearOutput() {
  if (output != nullptr) Disconnect(volume->AsSource(), output);
  output = nullptr;
}

bool FilePlayer::IsActive() {
  std::lock_guard<std::mutex> guard(lock);
  return state != kIdle;
}

void FilePlayer::SetState(int32_t newState) {
  std::lock_guard<std::mutex> guard(lock);
  state = newState;
  stateEvent.Set();
}

int32_t FilePlayer::Play() {
  {
    std::unique_lock<std::mutex> guard(lock);
    switch (state) {
      case kIdle:
        state = kStarting;
        stateEvent.Set();
        break;
      case kStarting:
        // Another thread is starting this play: wait for its outcome.
        while (state != kPlaying && state != kIdle) {
          stateEvent.Reset();
          guard.unlock();
          stateEvent.Wait();
          guard.lock();
        }
        return state == kPlaying ? 0 : -10;
      case kPlaying:
        return 0;
      case kStopping:
        return -20;
      default:
        return -30;
    }
  }

  int32_t result = 0;
  // The whole `fmt ` chunk: ADPCM and extensible formats carry what the converter needs in
  // the bytes after the 18-byte record.
  alignas(WAVEFORMATEX) uint8_t format[AcmConverterFilter::kMaxFormatBytes] = {};
  uint32_t formatSize = source->GetFormatBytes(format, sizeof format);
  if (formatSize == 0) {
    result = -35;
  } else if (converter->SetSourceFormat(reinterpret_cast<const WAVEFORMATEX*>(format),
                                        std::min<uint32_t>(formatSize, sizeof format)) < 0) {
    result = -40;
  } else if (volume->Prepare() < 0) {
    result = -50;
  } else if (converter->Prepare() < 0) {
    volume->Unprepare();
    result = -60;
  } else if (source->Start() < 0) {
    volume->Unprepare();
    converter->Unprepare();
    result = -70;
  }
  // On success OnFileStarted has already moved the state to Playing inside source->Start.
  if (result != 0) SetState(kIdle);
  return result;
}

void FilePlayer::OnFileStarted(WavFileSource*, const char*) { SetState(kPlaying); }

void FilePlayer::OnFileEnded(WavFileSource*, const char*) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (state != kPlaying) return;  // a Stop in progress finishes the play
    state = kStopping;
    stateEvent.Set();
  }
  // The file ended by itself: take the chain apart here and tell the engine on a thread of
  // its own.
  { std::lock_guard<std::mutex> guard(lock); }
  Disconnect(source, converter->AsSink());
  converter->Unprepare();
  volume->Unprepare();
  Disconnect(converter->AsSource(), volume->AsSink());
  ClearOutput();
  if (notifier != nullptr) notifier->Notify(fileId, !sendSide);
  SetState(kIdle);
}

void FilePlayer::Dismantle() {
  { std::lock_guard<std::mutex> guard(lock); }
  converter->Unprepare();
  volume->Unprepare();
  Disconnect(source, converter->AsSink());
  Disconnect(converter->AsSource(), volume->AsSink());
  ClearOutput();
}

int32_t FilePlayer::Stop() {
  std::unique_lock<std::mutex> guard(lock);
  switch (state) {
    case kIdle:
      return 0;
    case kStarting:
      return -10;
    case kPlaying:
      state = kStopping;
      stateEvent.Set();
      guard.unlock();
      converter->Flush();
      converter->Unprepare();
      source->Stop();  // its OnFileEnded sees Stopping and leaves the finish to us
      Dismantle();
      if (sendSide) {
        engine->OnSentFileEnded(fileId);
      } else {
        engine->OnLocalFileEnded(fileId);
      }
      SetState(kIdle);
      return 0;
    case kStopping:
      while (state != kIdle) {
        stateEvent.Reset();
        converter->Flush();
        guard.unlock();
        stateEvent.Wait();
        guard.lock();
      }
      return 0;
    default:
      return 0;
  }
}

}  // namespace ve
