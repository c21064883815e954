#include "audio/FrameFilter.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "platform/Clock.h"

namespace ve {

namespace {

constexpr uint32_t kEmptyPullSleepMs = 5;

}  // namespace

void FrameFilter::ByteStore::Append(const uint8_t* from, int32_t n) {
  n = std::min(n, kMaxStoredBytes - size);
  if (n <= 0) return;
  const auto capacity = static_cast<int32_t>(ring.size());
  if (size + n > capacity) {
    int32_t grown = std::max(capacity, 4096);
    while (grown < size + n) grown *= 2;
    std::vector<uint8_t> larger(static_cast<size_t>(grown));
    const int32_t kept = size;
    Take(larger.data(), kept);  // unwraps the stored bytes to the front of the larger ring
    ring.swap(larger);
    head = 0;
    size = kept;
  }
  const auto cap = static_cast<int32_t>(ring.size());
  int32_t tail = (head + size) % cap;
  for (int32_t done = 0; done < n;) {
    const int32_t chunk = std::min(n - done, cap - tail);
    if (from != nullptr) {
      std::memcpy(ring.data() + tail, from + done, static_cast<size_t>(chunk));
    } else {
      std::memset(ring.data() + tail, 0, static_cast<size_t>(chunk));
    }
    done += chunk;
    tail = (tail + chunk) % cap;
  }
  size += n;
}

void FrameFilter::ByteStore::Take(uint8_t* to, int32_t n) {
  const auto cap = static_cast<int32_t>(ring.size());
  n = std::min(n, size);
  for (int32_t done = 0; done < n;) {
    const int32_t chunk = std::min(n - done, cap - head);
    std::memcpy(to + done, ring.data() + head, static_cast<size_t>(chunk));
    done += chunk;
    head = (head + chunk) % cap;
  }
  size -= n;
}

void FrameFilter::RunList::Append(int32_t n, bool gap) {
  if (n <= 0) return;
  if (count > 0) {
    Run& last = runs[static_cast<size_t>((first + count - 1) % kMaxRuns)];
    if (last.gap == gap || count == kMaxRuns) {
      last.bytes += n;
      last.gap = last.gap && gap;
      return;
    }
  }
  runs[static_cast<size_t>((first + count) % kMaxRuns)] = Run{n, gap};
  ++count;
}

bool FrameFilter::RunList::Take(int32_t n) {
  bool allGap = true;
  while (n > 0 && count > 0) {
    Run& run = runs[static_cast<size_t>(first)];
    const int32_t taken = std::min(n, run.bytes);
    allGap = allGap && run.gap;
    run.bytes -= taken;
    n -= taken;
    if (run.bytes == 0) {
      first = (first + 1) % kMaxRuns;
      --count;
    }
  }
  return allGap;
}

int32_t FrameFilter::SetFrameMs(int32_t ms) {
  frameMs = ms;
  return 0;
}

int32_t FrameFilter::Prepare() {
  {
    std::lock_guard<platform::CriticalSection> guard(bytesLock);
    bytes.Clear();
    runs.Clear();
    GetStandardFormat(&format, kFormatPcm16);
  }
  prepared = true;
  return 0;
}

int32_t FrameFilter::Unprepare() {
  prepared = false;
  return 0;
}

int32_t FrameFilter::StoredBytes() {
  std::lock_guard<platform::CriticalSection> guard(bytesLock);
  return bytes.Size();
}

bool FrameFilter::FrameReady() {
  std::lock_guard<platform::CriticalSection> guard(bytesLock);
  return bytes.Size() >= frameBytes;
}

void FrameFilter::UpdateFrameBytes() {
  if (microsPerUnit <= 0) return;  // a format without time units keeps the last frame size
  const int64_t n = static_cast<int64_t>(frameMs) * 1000 * bytesPerUnit / microsPerUnit;
  // A frame must fit one pool sample and hold at least one byte.
  frameBytes = static_cast<int32_t>(std::clamp<int64_t>(n, 1, AudioSample::kDefaultCapacity));
}

void FrameFilter::Accumulate(SampleList* list) {
  AudioSample* sample = list->First();
  if (sample == nullptr) {
    platform::Sleep(kEmptyPullSleepMs);
    return;
  }
  std::lock_guard<platform::CriticalSection> guard(bytesLock);
  microsPerUnit = sample->MicrosPerUnit();
  bytesPerUnit = sample->BytesPerUnit();
  format = sample->Format();
  UpdateFrameBytes();
  const int32_t before = bytes.Size();
  const bool gap = sample->DataSize() < 1;
  if (!gap) {
    bytes.Append(sample->Data(), std::min(sample->DataSize(), sample->Capacity()));
  } else if (sample->SilenceMs() > 0) {
    bytes.Append(nullptr, std::min(sample->SilenceBytes(), kMaxStoredBytes));
  }
  runs.Append(bytes.Size() - before, gap);
}

AudioSample* FrameFilter::CutFrame() {
  AudioSample* frame = nullptr;
  if (AudioSamplePool::Instance()->Get(&frame) != 0 || frame == nullptr) return nullptr;
  frame->SetFormat(&format);
  const int32_t n = std::min(frameBytes, frame->Capacity());
  bytes.Take(frame->Data(), n);
  if (runs.Take(n)) {
    frame->SetDataSize(0);
    frame->SetSilenceMs(frameMs);
  } else {
    frame->SetDataSize(n);
  }
  return frame;
}

int32_t FrameFilter::ProcessSamples(SampleList* list) {
  if (!prepared) return 0;
  Accumulate(list);
  std::lock_guard<platform::CriticalSection> guard(bytesLock);
  UpdateFrameBytes();
  while (bytes.Size() >= frameBytes) {
    AudioSample* frame = CutFrame();
    if (frame == nullptr) break;
    PushToListeners(frame, nullptr);
    frame->Release();
  }
  return 0;
}

bool FrameFilter::StopRequestedOnOwnThread() const { return AudioSource::running && AudioSource::stopRequested; }

int32_t FrameFilter::ProduceSample(AudioSample** out) {
  *out = nullptr;
  while (prepared && !StopRequestedOnOwnThread() && !FrameReady()) {
    sampleList.ReleaseAll();
    PullSources(nullptr);
    Accumulate(&sampleList);
    sampleList.ReleaseAll();
  }

  std::lock_guard<platform::CriticalSection> guard(bytesLock);
  if (prepared && bytes.Size() >= frameBytes) {
    *out = CutFrame();
    return 0;
  }
  AudioSample* gap = nullptr;
  if (AudioSamplePool::Instance()->Get(&gap) != 0 || gap == nullptr) return 0;
  gap->SetFormat(&format);
  gap->SetDataSize(0);
  gap->SetSilenceMs(frameMs);
  *out = gap;
  return 0;
}

}  // namespace ve
