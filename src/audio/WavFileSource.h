#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/FileNotifier.h"
#include "framework/AudioSource.h"
#include "platform/CriticalSection.h"
#include "platform/RiffFile.h"
#include "platform/WaveFormat.h"

namespace ve {

// Reads a RIFF/WAVE file and produces its audio as samples of frameMs each (20 ms), in the
// file's own format, from its own worker thread (Start) or when pulled after Open. It can loop
// over the audio without a gap; otherwise the end of the `data` chunk ends the worker thread
// with -30, and the FileSourceListeners hear OnFileEnded. Reading stops at the end of the
// `data` chunk: chunks that follow it are never played as audio.
//
// Threads: OpenFile, SetLoop, GetFormat and the listener calls come from the owner. The worker
// runs ProduceSample without a lock; it reads `file` and `format`, which only OpenFile (refused
// while playing), OnThreadEnd (on the worker itself) and OnClose (no worker runs) change.
// `fileLock` serialises OpenFile, GetFormat, the four state hooks and the destructor;
// `playing`, `looping` and `frameMs` are atomic since the worker reads them.
class WavFileSource : public AudioSource, public FileNotifier {
 public:
  static constexpr int32_t kNameCapacity = 128;  // names of 128 characters or more are refused

  WavFileSource();
  ~WavFileSource() override;

  // 0, or -10 cannot open, -20 no RIFF/WAVE chunk, -30 no `fmt ` chunk, -40 `fmt ` chunk not
  // readable whole (also shorter than 14 bytes), -50 no `data` chunk, -60 empty `data` chunk,
  // -70 playing, -80 name of 128 characters or more. Clears looping first.
  int32_t OpenFile(const char* name);
  int32_t SetLoop();
  int32_t ClearLoop();
  // Copies the first 18 bytes of the held format; leaves `out` alone when none is held.
  int32_t GetFormat(WAVEFORMATEX* out);
  // The whole `fmt ` chunk, for formats whose extension matters (WAVE_FORMAT_EXTENSIBLE, ADPCM
  // coefficients): copies at most `capacity` bytes and returns the chunk's size (at least 18),
  // or 0 when no format is held.
  uint32_t GetFormatBytes(uint8_t* out, uint32_t capacity);
  int32_t SetFrameMs(int32_t ms);

  bool IsPlaying() const { return playing; }

 protected:
  int32_t OnThreadStart(platform::Thread* thread, uint32_t threadId) override;
  int32_t OnThreadEnd(platform::Thread* thread, uint32_t threadId) override;
  int32_t OnOpen() override;
  int32_t OnClose() override;
  // 0 with a sample, or -20 a frame larger than a sample (or of no bytes), -30 end of file or
  // read error, -40 nothing readable after the loop's seek.
  int32_t ProduceSample(AudioSample** out) override;

 private:
  int32_t CloseFile();
  // Reads at most `count` bytes, never past the end of the `data` chunk: bytes read, 0 at the
  // end, -1 on an error.
  int32_t ReadData(uint8_t* out, int32_t count);

  char fileName[kNameCapacity] = {};
  std::unique_ptr<platform::RiffFile> file;
  platform::MMCKINFO riffChunk;
  platform::MMCKINFO subChunk;
  uint32_t formatSize = 0;
  uint32_t dataSize = 0;
  std::unique_ptr<uint8_t[]> format;
  std::atomic<int32_t> frameMs{20};
  std::atomic<bool> playing{false};
  int64_t dataOffset = 0;
  std::atomic<bool> looping{false};
  platform::CriticalSection fileLock;
};

}  // namespace ve
