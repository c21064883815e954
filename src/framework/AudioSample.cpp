#include "framework/AudioSample.h"

#include "framework/AudioSamplePool.h"
#include "platform/Clock.h"

namespace ve {

namespace {

constexpr int32_t kDoubleReleaseCount = 1000;  // never reaches 0 again: the sample is retired
constexpr uint32_t kDoubleReleaseSleepMs = 500;

}  // namespace

AudioSample::AudioSample(AudioSamplePool* owner, int32_t size)
    : capacity(size > 0 ? size : 0), data(new uint8_t[capacity > 0 ? capacity : 1]()), pool(owner) {}

AudioSample::~AudioSample() { delete packet; }

int32_t AudioSample::GetFormat(WAVEFORMATEX* out) const {
  if (out != nullptr) *out = format;
  return 0;
}

int32_t AudioSample::SetFormat(const WAVEFORMATEX* in) {
  if (in == nullptr) return 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (refCount > 1) return 0;
  }
  format = *in;
  switch (format.wFormatTag) {
    case WAVE_FORMAT_PCM:
      microsPerUnit = format.nSamplesPerSec > 0 ? static_cast<int32_t>(1000000 / format.nSamplesPerSec) : 0;
      bytesPerUnit = format.wBitsPerSample * format.nChannels / 8;
      break;
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
      microsPerUnit = 125;
      bytesPerUnit = 1;
      break;
    case WAVE_FORMAT_G729:
      microsPerUnit = 10000;
      bytesPerUnit = 10;
      break;
    case WAVE_FORMAT_G723_53:
      microsPerUnit = 30000;
      bytesPerUnit = 20;
      break;
    case WAVE_FORMAT_G723_64:
      microsPerUnit = 30000;
      bytesPerUnit = 24;
      break;
    default:
      break;  // units of an unknown tag stay as they were
  }
  return 0;
}

int32_t AudioSample::SetDataSize(int32_t n) {
  dataSize = n;
  if (n >= 1) silenceMs = 0;
  return 0;
}

int32_t AudioSample::SetSilenceMs(int32_t ms) {
  silenceMs = ms;
  return 0;
}

MediaObject* AudioSample::Packet() {
  std::lock_guard<std::mutex> guard(lock);
  return packet;
}

int32_t AudioSample::SetPacket(MediaObject* p) {
  MediaObject* old;
  {
    std::lock_guard<std::mutex> guard(lock);
    old = packet;
    packet = p;
  }
  if (old != p) delete old;
  return 0;
}

int32_t AudioSample::DurationMs() const {
  if (bytesPerUnit <= 0) return 0;
  int64_t units = static_cast<int64_t>(microsPerUnit) * dataSize / bytesPerUnit;
  return static_cast<int32_t>(units / 1000);
}

int32_t AudioSample::SilenceBytes() const {
  if (microsPerUnit <= 0) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(silenceMs) * 1000 * bytesPerUnit / microsPerUnit);
}

int32_t AudioSample::AddRef() {
  std::lock_guard<std::mutex> guard(lock);
  return ++refCount;
}

int32_t AudioSample::RefCount() {
  std::lock_guard<std::mutex> guard(lock);
  return refCount;
}

int32_t AudioSample::Release() {
  MediaObject* oldPacket = nullptr;
  AudioSamplePool* owner = nullptr;
  bool doubleRelease = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (refCount < 1) {
      refCount = kDoubleReleaseCount;
      retired = true;
      doubleRelease = true;
    } else {
      int32_t count = --refCount;
      if (count > 0) return count;
      oldPacket = packet;
      if (packet != nullptr) {
        packet = nullptr;
        dataSize = 0;
      }
      owner = pool;
    }
  }
  if (doubleRelease) {
    platform::Sleep(kDoubleReleaseSleepMs);
    return -10;
  }
  delete oldPacket;
  // The pool lock is taken only after the sample lock has been left.
  if (owner != nullptr) {
    owner->Put(this);
  } else {
    delete this;  // its pool is gone and nobody holds the sample any more
  }
  return 0;
}

WAVEFORMATEX* GetStandardFormat(WAVEFORMATEX* record, int32_t number) {
  if (record == nullptr) return record;
  struct Standard {
    uint16_t tag;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
  };
  static constexpr Standard kStandard[] = {
      {WAVE_FORMAT_MULAW, 8000, 1, 8},  {WAVE_FORMAT_ALAW, 8000, 1, 8},   {WAVE_FORMAT_G729, 1000, 1, 8},
      {WAVE_FORMAT_G723_53, 667, 1, 8}, {WAVE_FORMAT_G723_64, 800, 1, 8}, {WAVE_FORMAT_PCM, 16000, 2, 16},
  };
  const Standard& s = kStandard[(number >= 0 && number <= 5) ? number : kFormatPcm16];
  record->wFormatTag = s.tag;
  record->nChannels = 1;
  record->nSamplesPerSec = 8000;
  record->nAvgBytesPerSec = s.avgBytesPerSec;
  record->nBlockAlign = s.blockAlign;
  record->wBitsPerSample = s.bitsPerSample;
  record->cbSize = 0;
  return record;
}

}  // namespace ve
