#include "codecs/AcmConverterFilter.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "platform/Clock.h"

namespace ve {

namespace {

// A gap marker's length paces the pusher; a corrupt one must not park it for minutes.
constexpr int32_t kMaxSleepMs = 5000;
// While draining, a consumer that takes nothing for this many frames is taken to have stopped.
constexpr int32_t kDrainPatienceFrames = 4;

void SleepMs(int32_t ms) { platform::Sleep(static_cast<uint32_t>(std::clamp(ms, 0, kMaxSleepMs))); }

}  // namespace

AcmConverterFilter::AcmConverterFilter() {
  WAVEFORMATEX pcm;
  GetStandardFormat(&pcm, kFormatPcm16);
  std::memcpy(sourceFormat, &pcm, sizeof(pcm));
  destinationFormat = pcm;
  freeHeaders.reserve(1);
}

AcmConverterFilter::~AcmConverterFilter() {
  // The owner unprepares first; a stream still open here is only freed.
  if (stream != nullptr) AcmStream::Close(stream);
}

int32_t AcmConverterFilter::SetSourceFormat(const WAVEFORMATEX* format) {
  return SetSourceFormat(format, sizeof(WAVEFORMATEX));
}

int32_t AcmConverterFilter::SetSourceFormat(const WAVEFORMATEX* format, uint32_t size) {
  if (format == nullptr || size < sizeof(WAVEFORMATEX)) return 0;
  std::lock_guard<platform::CriticalSection> guard(flagLock);
  sourceFormatSize = std::min(size, kMaxFormatBytes);
  std::memcpy(sourceFormat, format, sourceFormatSize);
  return 0;
}

int32_t AcmConverterFilter::SetDestinationFormat(const WAVEFORMATEX* format) {
  if (format == nullptr) return 0;
  std::lock_guard<platform::CriticalSection> guard(flagLock);
  destinationFormat = *format;
  return 0;
}

int32_t AcmConverterFilter::SetFrameDuration(int32_t ms) {
  frameDuration = ms;
  return 0;
}

int32_t AcmConverterFilter::Transform(SampleList*, AudioSample**) { return 0; }

bool AcmConverterFilter::IsOpen() {
  std::lock_guard<platform::CriticalSection> guard(flagLock);
  return open;
}

int32_t AcmConverterFilter::BufferedBytes() {
  std::lock_guard<platform::CriticalSection> guard(fifoLock);
  return static_cast<int32_t>(fifoCount);
}

void AcmConverterFilter::SleepFrame() { SleepMs(frameDuration); }

ACMSTREAMHEADER* AcmConverterFilter::TakeHeader() {
  for (;;) {
    {
      std::lock_guard<platform::CriticalSection> guard(headerLock);
      if (!freeHeaders.empty()) {
        ACMSTREAMHEADER* taken = freeHeaders.back();
        freeHeaders.pop_back();
        return taken;
      }
    }
    if (!IsOpen()) return nullptr;
    headerAvailable.Wait();
  }
}

void AcmConverterFilter::PutHeader(ACMSTREAMHEADER* taken) {
  std::lock_guard<platform::CriticalSection> guard(headerLock);
  if (std::find(freeHeaders.begin(), freeHeaders.end(), taken) == freeHeaders.end()) freeHeaders.push_back(taken);
  headerAvailable.Set();
}

int32_t AcmConverterFilter::Prepare() {
  std::lock_guard<platform::CriticalSection> prepareGuard(prepareLock);
  if (IsOpen()) return 0;
  AcmStream* opened = nullptr;
  {
    std::lock_guard<platform::CriticalSection> guard(flagLock);
    if (AcmStream::Open(&opened, reinterpret_cast<const WAVEFORMATEX*>(sourceFormat), sourceFormatSize,
                        &destinationFormat, AcmStream::kOpenNonRealtime) != 0) {
      return -10;
    }
  }
  int32_t result;
  {
    std::lock_guard<platform::CriticalSection> guard(acmLock);
    header = ACMSTREAMHEADER{};
    header.cbStruct = sizeof(ACMSTREAMHEADER);
    header.pbSrc = sourceBuffer;
    header.cbSrcLength = kBufferBytes;
    header.pbDst = destinationBuffer;
    header.cbDstLength = kBufferBytes;
    result = opened->PrepareHeader(&header);
    header.cbSrcLength = 0;  // nothing carried over yet
    header.cbSrcLengthUsed = 0;
    if (result == 0) stream = opened;
  }
  if (result != 0) {
    AcmStream::Close(opened);
    return result;
  }
  {
    std::lock_guard<platform::CriticalSection> guard(fifoLock);
    fifoStart = 0;
    fifoCount = 0;
  }
  {
    std::lock_guard<platform::CriticalSection> guard(headerLock);
    freeHeaders.clear();
  }
  PutHeader(&header);
  std::lock_guard<platform::CriticalSection> guard(flagLock);
  open = true;
  return 0;
}

int32_t AcmConverterFilter::Unprepare() {
  std::lock_guard<platform::CriticalSection> prepareGuard(prepareLock);
  if (!IsOpen()) return 0;

  bool sourceGone;
  {
    std::lock_guard<platform::CriticalSection> guard(sourcesLock);
    sourceGone = sources.empty();
  }
  bool consumerLinked;
  {
    std::lock_guard<platform::CriticalSection> guard(listenersLock);
    consumerLinked = !listeners.empty();
  }
  if (sourceGone && consumerLinked) {
    const int32_t patienceMs = std::max(kDrainPatienceFrames * static_cast<int32_t>(frameDuration), 100);
    ConvertEnd(static_cast<uint32_t>(patienceMs));
    AudioSample* probe = nullptr;
    AudioSamplePool::Instance()->Get(&probe);
    int32_t needed = FrameBytes(probe);
    probe->Release();
    // The consumer takes whole frames: the file's last part frame is made whole with silence,
    // so that it is heard rather than left behind.
    const int32_t partial = needed > 0 ? BufferedBytes() % needed : 0;
    if (partial > 0) {
      WAVEFORMATEX destination;
      {
        std::lock_guard<platform::CriticalSection> guard(flagLock);
        destination = destinationFormat;
      }
      const uint8_t silenceByte = destination.wFormatTag == WAVE_FORMAT_PCM && destination.wBitsPerSample == 8 ? 0x80 : 0;
      const std::vector<uint8_t> silence(static_cast<size_t>(needed - partial), silenceByte);
      AppendToFifo(silence.data(), static_cast<uint32_t>(silence.size()), static_cast<uint32_t>(patienceMs));
    }
    for (;;) {
      uint32_t before = static_cast<uint32_t>(BufferedBytes());
      if (before < static_cast<uint32_t>(std::max(needed, 1))) break;
      if (!spaceAvailable.Wait(static_cast<uint32_t>(patienceMs)) && static_cast<uint32_t>(BufferedBytes()) == before) {
        break;  // the consumer stopped taking: what is left is dropped
      }
    }
  }

  {
    std::lock_guard<platform::CriticalSection> guard(flagLock);
    open = false;
  }
  {
    std::lock_guard<platform::CriticalSection> guard(headerLock);
    freeHeaders.clear();
    headerAvailable.Set();
  }
  {
    std::lock_guard<platform::CriticalSection> guard(fifoLock);
    dataAvailable.Set();
    spaceAvailable.Set();
  }
  std::lock_guard<platform::CriticalSection> guard(acmLock);
  header.cbSrcLength = kBufferBytes;
  header.cbDstLength = kBufferBytes;
  int32_t result = stream->UnprepareHeader(&header);
  result = AcmStream::Close(stream);
  stream = nullptr;
  return result;
}

int32_t AcmConverterFilter::Flush() {
  std::lock_guard<platform::CriticalSection> guard(fifoLock);
  fifoStart = 0;
  fifoCount = 0;
  spaceAvailable.Set();
  return 0;
}

int32_t AcmConverterFilter::FrameBytes(AudioSample* sample) {
  WAVEFORMATEX format;
  {
    std::lock_guard<platform::CriticalSection> guard(flagLock);
    format = destinationFormat;
  }
  sample->SetFormat(&format);
  if (sample->MicrosPerUnit() <= 0) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(sample->BytesPerUnit()) * frameDuration * 1000 /
                              sample->MicrosPerUnit());
}

void AcmConverterFilter::AppendToFifo(const uint8_t* bytes, uint32_t count, uint32_t patienceMs) {
  std::unique_lock<platform::CriticalSection> guard(fifoLock);
  bool waited = true;
  while (IsOpen() && waited && kBufferBytes - fifoCount < count) {
    guard.unlock();
    if (patienceMs == kWaitForSpace) {
      spaceAvailable.Wait();
    } else {
      waited = spaceAvailable.Wait(patienceMs);
    }
    guard.lock();
  }
  if (IsOpen() && kBufferBytes - fifoCount >= count) {
    uint32_t end = (fifoStart + fifoCount) % kBufferBytes;
    uint32_t first = std::min(count, kBufferBytes - end);
    std::memcpy(fifo + end, bytes, first);
    std::memcpy(fifo, bytes + first, count - first);
    fifoCount += count;
  }
  dataAvailable.Set();
}

void AcmConverterFilter::ConvertEnd(uint32_t patienceMs) {
  ACMSTREAMHEADER* taken = TakeHeader();
  if (taken == nullptr) return;
  // Each call gives out at most a buffer; a resampler's held-back frames take one or two.
  for (int call = 0; call < 8; ++call) {
    uint8_t converted[kBufferBytes];
    uint32_t produced = 0;
    {
      std::lock_guard<platform::CriticalSection> guard(acmLock);
      const uint32_t carried = taken->cbSrcLength - taken->cbSrcLengthUsed;
      std::memmove(taken->pbSrc, taken->pbSrc + taken->cbSrcLengthUsed, carried);
      taken->cbSrcLength = carried;
      taken->cbSrcLengthUsed = 0;
      if (stream != nullptr && stream->Convert(taken, AcmStream::kConvertBlockAlign | AcmStream::kConvertEnd) == 0) {
        produced = std::min(taken->cbDstLengthUsed, kBufferBytes);
        std::memcpy(converted, taken->pbDst, produced);
      }
    }
    if (produced == 0) break;
    AppendToFifo(converted, produced, patienceMs);
  }
  PutHeader(taken);
}

int32_t AcmConverterFilter::ProcessSamples(SampleList* inputs) {
  AudioSample* sample = inputs != nullptr ? inputs->First() : nullptr;
  if (sample == nullptr || !IsOpen()) {
    SleepFrame();
    return -50;
  }
  if (sample->DataSize() < 1) {
    SleepMs(sample->SilenceMs());
    return -40;
  }
  ACMSTREAMHEADER* taken = TakeHeader();
  if (taken == nullptr) {
    SleepFrame();
    return -30;
  }

  // The conversion's output is copied out before the stream lock is left, so that the
  // possibly blocking FIFO append holds no lock; only the header's holder converts.
  uint8_t converted[kBufferBytes];
  uint32_t produced = 0;
  int32_t result = 0;
  {
    std::lock_guard<platform::CriticalSection> guard(acmLock);
    uint32_t carried = taken->cbSrcLength - taken->cbSrcLengthUsed;
    int64_t total = static_cast<int64_t>(carried) + sample->DataSize();
    if (stream == nullptr) {
      result = -50;  // closed after the header was taken
    } else if (total < 1 || total > kBufferBytes) {
      result = -20;
    } else {
      std::memmove(taken->pbSrc, taken->pbSrc + taken->cbSrcLengthUsed, carried);
      std::memcpy(taken->pbSrc + carried, sample->Data(), static_cast<size_t>(sample->DataSize()));
      taken->cbSrcLength = static_cast<uint32_t>(total);
      taken->cbSrcLengthUsed = 0;
      if (stream->Convert(taken, AcmStream::kConvertBlockAlign) != 0) {
        taken->cbSrcLength = 0;  // the input is dropped, nothing carried
        taken->cbSrcLengthUsed = 0;
        result = -10;
      } else {
        produced = std::min(taken->cbDstLengthUsed, kBufferBytes);
        std::memcpy(converted, taken->pbDst, produced);
      }
    }
  }
  PutHeader(taken);
  if (result != 0) {
    SleepFrame();
    return result;
  }
  if (produced > 0) AppendToFifo(converted, produced);
  return 0;
}

int32_t AcmConverterFilter::ProduceSample(AudioSample** out) {
  *out = nullptr;
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  if (sample == nullptr) return -30;
  int32_t needed = FrameBytes(sample);
  sample->SetDataSize(0);
  sample->SetSilenceMs(frameDuration);

  int32_t result;
  if (!IsOpen()) {
    std::lock_guard<platform::CriticalSection> guard(fifoLock);
    spaceAvailable.Set();
    result = -20;
  } else {
    std::lock_guard<platform::CriticalSection> guard(fifoLock);
    if (needed > 0 && fifoCount >= static_cast<uint32_t>(needed)) {
      uint32_t take = std::min<uint32_t>(static_cast<uint32_t>(needed), static_cast<uint32_t>(sample->Capacity()));
      uint32_t first = std::min(take, kBufferBytes - fifoStart);
      std::memcpy(sample->Data(), fifo + fifoStart, first);
      std::memcpy(sample->Data() + first, fifo, take - first);
      fifoStart = (fifoStart + take) % kBufferBytes;
      fifoCount -= take;
      spaceAvailable.Set();
      sample->SetDataSize(static_cast<int32_t>(take));
      result = 0;
    } else {
      result = -10;
    }
  }
  if (result != 0) {
    sample->Release();
    return result;
  }
  *out = sample;
  return 0;
}

}  // namespace ve
