#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "codecs/AcmStream.h"
#include "framework/AudioFilter.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/WaveFormat.h"

namespace ve {

// Converts a stream of samples from the source format to the destination format (16-bit
// 8 kHz mono PCM unless told otherwise) and re-cuts the result into samples of a fixed
// duration. Its two sides are decoupled by a byte FIFO of at most 16000 bytes: the sink side
// (ProcessSamples, on the pushing file source's thread) converts what arrives into the FIFO
// and waits for space when it is full; the source side (ProduceSample, on the pulling
// thread) cuts one output sample from it when a whole one is there and never waits.
//
// Threads: the owner calls the setters (while closed), Prepare, Unprepare and Flush. Locks:
// `prepareLock` serialises Prepare and Unprepare and is always taken first; `headerLock`
// guards `freeHeaders`; `fifoLock` guards the FIFO; `acmLock` guards `stream` and `header`
// (held for every stream call and while the header's buffers are filled); `flagLock` guards
// `open` and the two formats, and is the only lock taken inside another. No wait happens
// while a lock is held; every waiter re-checks `open` after waking, and Unprepare wakes them all.
class AcmConverterFilter : public AudioFilter {
 public:
  static constexpr uint32_t kBufferBytes = 16000;
  // Room for a source format with its extension (extensible sub-format, ADPCM coefficients).
  static constexpr uint32_t kMaxFormatBytes = sizeof(WAVEFORMATEX) + 1024;

  AcmConverterFilter();
  ~AcmConverterFilter() override;

  // Copy an 18-byte format record; 0.
  int32_t SetSourceFormat(const WAVEFORMATEX* format);
  // Copies `size` bytes of a source format with its extension (at most kMaxFormatBytes); 0.
  int32_t SetSourceFormat(const WAVEFORMATEX* format, uint32_t size);
  int32_t SetDestinationFormat(const WAVEFORMATEX* format);
  int32_t SetFrameDuration(int32_t ms);

  // 0 (also when already open), -10 when the format pair cannot be converted, or the
  // stream's error from preparing the header.
  int32_t Prepare() override;
  // When the upstream source is gone but a consumer is still linked, first converts the end
  // of the input (what a resampler holds back) and lets the consumer drain the FIFO below one
  // frame (giving up when it stops taking). Then closes, wakes every
  // waiter and drops what they were about to add. The stream's last result, or 0 when closed.
  int32_t Unprepare() override;
  // Empties the FIFO and signals space; 0.
  int32_t Flush();
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

  // Bytes waiting in the FIFO.
  int32_t BufferedBytes();

 protected:
  // 0 with one frame, -10 less than a frame converted so far, -20 closed, -30 no pool sample.
  int32_t ProduceSample(AudioSample** out) override;
  // 0, -10 conversion failed (input dropped), -20 carried plus new input outside 1..16000
  // bytes (input dropped), -30 closed while waiting for the header, -40 gap marker (after
  // sleeping its length), -50 no input or closed. Failures sleep a frame to pace the pusher.
  int32_t ProcessSamples(SampleList* inputs) override;

 private:
  bool IsOpen();
  ACMSTREAMHEADER* TakeHeader();
  void PutHeader(ACMSTREAMHEADER* taken);
  static constexpr uint32_t kWaitForSpace = 0xFFFFFFFFu;
  // Waits for FIFO space and appends; drops the bytes when the converter closes meanwhile, or
  // when no space came within `patienceMs`.
  void AppendToFifo(const uint8_t* bytes, uint32_t count, uint32_t patienceMs = kWaitForSpace);
  // The input has ended: converts what is carried over and what the conversion holds back
  // (a resampler's last frames) into the FIFO.
  void ConvertEnd(uint32_t patienceMs);
  // Bytes of one output frame: BytesPerUnit × duration × 1000 / MicrosPerUnit of the
  // destination format, as the sample reports them.
  int32_t FrameBytes(AudioSample* sample);
  void SleepFrame();

  uint8_t sourceFormat[kMaxFormatBytes] = {};
  uint32_t sourceFormatSize = sizeof(WAVEFORMATEX);
  WAVEFORMATEX destinationFormat{};
  AcmStream* stream = nullptr;
  ACMSTREAMHEADER header;
  uint8_t sourceBuffer[kBufferBytes] = {};
  uint8_t destinationBuffer[kBufferBytes] = {};
  std::vector<ACMSTREAMHEADER*> freeHeaders;
  uint8_t fifo[kBufferBytes] = {};
  uint32_t fifoStart = 0;
  uint32_t fifoCount = 0;
  std::atomic<int32_t> frameDuration{20};
  bool open = false;
  platform::CriticalSection fifoLock;
  platform::CriticalSection headerLock;
  platform::CriticalSection prepareLock;
  platform::CriticalSection acmLock;
  platform::CriticalSection flagLock;
  platform::Event headerAvailable;
  platform::Event dataAvailable;
  platform::Event spaceAvailable;
};

}  // namespace ve
