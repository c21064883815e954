#include "audio/WavFileSource.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"

namespace ve {

namespace {

// The old 14-byte form (no bits per sample) is the shortest usable `fmt ` chunk; the longest
// is a full record with the largest extension its 16-bit cbSize can announce.
constexpr uint32_t kMinFormatBytes = 14;
constexpr uint32_t kMaxFormatBytes = sizeof(WAVEFORMATEX) + 0xFFFF;

}  // namespace

WavFileSource::WavFileSource() = default;

WavFileSource::~WavFileSource() {
  { std::lock_guard<platform::CriticalSection> guard(fileLock); }
  CloseFile();
}

int32_t WavFileSource::CloseFile() {
  if (file != nullptr) {
    file->Close();
    file.reset();
  }
  format.reset();
  formatSize = 0;
  return 0;
}

int32_t WavFileSource::OpenFile(const char* name) {
  looping = false;
  size_t length = name != nullptr ? strnlen(name, kNameCapacity) : 0;
  if (length >= static_cast<size_t>(kNameCapacity) || playing) return playing ? -70 : -80;

  std::lock_guard<platform::CriticalSection> guard(fileLock);
  CloseFile();
  std::memcpy(fileName, name != nullptr ? name : "", length);
  fileName[length] = '\0';

  int32_t result = 0;
  file = std::make_unique<platform::RiffFile>();
  if (file->Open(fileName) != 0) {
    result = -10;
  }
  int64_t start = result == 0 ? file->Position() : -1;
  if (result == 0) {
    riffChunk = {};
    riffChunk.fccType = platform::kFourCCWave;
    if (file->Descend(&riffChunk, nullptr, platform::RiffFile::kFindRiff) != 0) result = -20;
  }
  if (result == 0) {
    subChunk = {};
    subChunk.ckid = platform::kFourCCFmt;
    if (file->Descend(&subChunk, &riffChunk, platform::RiffFile::kFindChunk) != 0) result = -30;
  }
  if (result == 0) {
    // A size beyond what the rest of the file holds is a short read: refused before any
    // allocation, so a lying header cannot make us reserve gigabytes.
    uint32_t size = subChunk.cksize;
    int64_t available = file->FileSize() - static_cast<int64_t>(subChunk.dwDataOffset);
    if (size < kMinFormatBytes || size > kMaxFormatBytes || static_cast<int64_t>(size) > available) {
      result = -40;
    } else {
      // Shorter forms are completed with zeros: a 16-byte PCM chunk gets cbSize 0.
      uint32_t held = std::max<uint32_t>(size, sizeof(WAVEFORMATEX));
      format.reset(new uint8_t[held]());
      formatSize = held;
      if (file->Read(format.get(), static_cast<int32_t>(size)) != static_cast<int32_t>(size) ||
          file->Ascend(&subChunk) != 0) {
        result = -40;
      }
    }
  }
  if (result == 0) {
    subChunk = {};
    subChunk.ckid = platform::kFourCCData;
    if (file->Descend(&subChunk, &riffChunk, platform::RiffFile::kFindChunk) != 0) result = -50;
  }
  if (result == 0) {
    dataSize = subChunk.cksize;
    if (dataSize == 0) result = -60;
  }
  if (result == 0) {
    int64_t position = file->Position();
    if (position < 0 || start < 0) {
      result = -50;
    } else {
      dataOffset = position - start;
    }
  }
  if (result != 0) CloseFile();
  return result;
}

int32_t WavFileSource::SetLoop() {
  looping = true;
  return 0;
}

int32_t WavFileSource::ClearLoop() {
  looping = false;
  return 0;
}

int32_t WavFileSource::GetFormat(WAVEFORMATEX* out) {
  std::lock_guard<platform::CriticalSection> guard(fileLock);
  if (format != nullptr && out != nullptr) std::memcpy(out, format.get(), sizeof(WAVEFORMATEX));
  return 0;
}

uint32_t WavFileSource::GetFormatBytes(uint8_t* out, uint32_t capacity) {
  std::lock_guard<platform::CriticalSection> guard(fileLock);
  if (format == nullptr) return 0;
  if (out != nullptr) std::memcpy(out, format.get(), std::min(capacity, formatSize));
  return formatSize;
}

int32_t WavFileSource::SetFrameMs(int32_t ms) {
  frameMs = ms;
  return 0;
}

int32_t WavFileSource::OnOpen() {
  std::lock_guard<platform::CriticalSection> guard(fileLock);
  if (playing) return -10;
  if (file == nullptr || format == nullptr) return -20;
  playing = true;
  return 0;
}

int32_t WavFileSource::OnClose() {
  std::lock_guard<platform::CriticalSection> guard(fileLock);
  if (!playing) return -10;
  CloseFile();
  playing = false;
  return 0;
}

int32_t WavFileSource::OnThreadStart(platform::Thread*, uint32_t) {
  std::lock_guard<platform::CriticalSection> guard(fileLock);
  int32_t result = -10;
  if (file != nullptr && format != nullptr) {
    playing = true;
    result = 0;
  }
  NotifyFileStarted(this, fileName);
  return result;
}

int32_t WavFileSource::OnThreadEnd(platform::Thread*, uint32_t) {
  std::lock_guard<platform::CriticalSection> guard(fileLock);
  CloseFile();
  playing = false;
  NotifyFileEnded(this, fileName);
  return 0;
}

int32_t WavFileSource::ReadData(uint8_t* out, int32_t count) {
  int64_t position = file->Position();
  if (position < 0) return -1;
  int64_t left = dataOffset + static_cast<int64_t>(dataSize) - position;
  if (left <= 0) return 0;
  return file->Read(out, static_cast<int32_t>(std::min<int64_t>(count, left)));
}

int32_t WavFileSource::ProduceSample(AudioSample** out) {
  *out = nullptr;
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  int32_t ms = frameMs;
  sample->SetDataSize(0);
  sample->SetSilenceMs(ms);
  if (!playing) {
    *out = sample;
    return 0;
  }

  WAVEFORMATEX head;
  std::memcpy(&head, format.get(), sizeof(head));
  sample->SetFormat(&head);
  int64_t frameBytes = ms > 0 ? static_cast<int64_t>(head.nAvgBytesPerSec) * ms / 1000 : 0;
  int32_t result = 0;
  // A frame of no bytes (zero byte rate) could never move through the file: refused like an
  // oversized one rather than handing out empty samples for ever.
  if (frameBytes > sample->Capacity() || frameBytes <= 0) {
    result = -20;
  } else {
    auto n = static_cast<int32_t>(frameBytes);
    int32_t got = ReadData(sample->Data(), n);
    if (got == n) {
      sample->SetDataSize(n);
    } else {
      if (got < 0 || (got == 0 && !looping)) {
        result = -30;
      } else if (looping) {
        // Wrap to the start of the audio and fill the rest of this frame from there.
        int32_t more = file->Seek(dataOffset) < 0 ? -1 : ReadData(sample->Data() + got, n - got);
        if (more < 1) {
          result = -40;
        } else {
          got += more;
        }
      }
      if (result == 0) sample->SetDataSize(got);
    }
  }
  if (result < 0) {
    sample->Release();
    return result;
  }
  *out = sample;
  return 0;
}

}  // namespace ve
