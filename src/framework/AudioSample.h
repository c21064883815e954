#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "framework/MediaObject.h"
#include "platform/WaveFormat.h"

namespace ve {

class AudioSamplePool;

// A reference-counted block of audio bytes with its wave format, taken from the process-wide
// AudioSamplePool and given back to it by the last Release.
//
// A sample with DataSize 0 and SilenceMs > 0 is a gap marker standing for that much silence.
//
// Threads: AddRef, Release, Packet and SetPacket are safe from any thread (`lock` guards
// refCount, packet and pool). The other accessors are unlocked: a sample is filled by one
// component before it is pushed and only read afterwards.
class AudioSample : public MediaObject {
 public:
  static constexpr int32_t kDefaultCapacity = 3200;

  explicit AudioSample(AudioSamplePool* pool, int32_t capacity = kDefaultCapacity);
  ~AudioSample() override;
  AudioSample(const AudioSample&) = delete;
  AudioSample& operator=(const AudioSample&) = delete;

  // Copies the format out; a null `out` does nothing.
  int32_t GetFormat(WAVEFORMATEX* out) const;
  // Refused silently while more than one reference is held; otherwise copies the format and
  // derives the coding units from its tag.
  int32_t SetFormat(const WAVEFORMATEX* in);
  const WAVEFORMATEX& Format() const { return format; }

  int32_t Capacity() const { return capacity; }
  int32_t DataSize() const { return dataSize; }
  uint8_t* Data() { return data.get(); }
  const uint8_t* Data() const { return data.get(); }
  int32_t SilenceMs() const { return silenceMs; }
  int32_t BytesPerUnit() const { return bytesPerUnit; }
  int32_t MicrosPerUnit() const { return microsPerUnit; }

  // Stores n (writers respect the capacity); a positive size clears silenceMs.
  int32_t SetDataSize(int32_t n);
  int32_t SetSilenceMs(int32_t ms);

  // The packet the payload came from, owned by the sample; replacing it deletes the old one.
  MediaObject* Packet();
  int32_t SetPacket(MediaObject* packet);

  // Duration of the data in ms, and bytes of data a gap marker stands for. Both are 0 when
  // the format has no valid coding units (zero rate or zero unit size).
  int32_t DurationMs() const;
  int32_t SilenceBytes() const;

  // Returns the new reference count.
  int32_t AddRef();
  // Returns the new count; the last reference returns the sample to its pool. A release
  // of a sample nobody holds is a double release: the sample is retired for good and the
  // call returns -10 after 500 ms.
  int32_t Release();

  int32_t RefCount();

 private:
  friend class AudioSamplePool;

  WAVEFORMATEX format{};
  int32_t capacity;
  int32_t dataSize = 0;
  std::unique_ptr<uint8_t[]> data;
  MediaObject* packet = nullptr;
  int32_t refCount = 0;
  int32_t silenceMs = 0;
  AudioSamplePool* pool;
  int32_t bytesPerUnit = 0;
  int32_t microsPerUnit = 0;
  bool retired = false;  // double-released: never handed out again; its pool deletes it
  std::mutex lock;
};

// Fills `record` with standard format `number` (0 u-law, 1 A-law, 2 G.729, 3 G.723 5.3 kbit/s,
// 4 G.723 6.4 kbit/s, 5 16-bit PCM; all 8000 Hz mono) and returns `record`. Any other number
// yields the PCM format.
WAVEFORMATEX* GetStandardFormat(WAVEFORMATEX* record, int32_t number);

enum StandardFormat : int32_t {
  kFormatMuLaw = 0,
  kFormatALaw = 1,
  kFormatG729 = 2,
  kFormatG723_53 = 3,
  kFormatG723_64 = 4,
  kFormatPcm16 = 5,
};

}  // namespace ve
