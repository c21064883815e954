#pragma once

#include <cstdint>

#include "codecs/AudioCodec.h"
#include "framework/AudioFilter.h"

namespace ve {

// Common body of the encoder and decoder filters: each input sample becomes one pooled output
// sample coded by the filter's codec and stamped with the filter's standard output format. A
// gap marker (DataSize 0) is passed on as a gap marker of the same length without calling the
// codec; decoders attach a header-only copy of the input's RTP packet so that later stages see
// its sequence number, timestamp and source.
//
// A derived filter holds its codec by value and hands a reference to it to this base; the base
// only stores the reference during construction and uses it from Transform on.
//
// Threads: Transform runs on the thread that drives the filter (the capture thread for an
// encoder, the RTP receive thread for a decoder); the codec is used only from there, unlocked.
class CodecFilter : public AudioFilter {
 public:
  enum class Operation { kEncode, kDecode };

  ~CodecFilter() override = default;

  // Result 0, or -10 when the pool gives no sample, or the codec's own failure code.
  int32_t Transform(SampleList* inputs, AudioSample** out) override;

 protected:
  // `outputFormat` is a standard format number (GetStandardFormat); `copyPacketHeader` attaches
  // the input's RTP header to each output.
  CodecFilter(AudioCodec& codec, Operation operation, int32_t outputFormat, bool copyPacketHeader);

  // The standard format stamped on each output. Filters whose codec decides it per call (the
  // G.711 encoder follows its law flag) override this.
  virtual int32_t OutputFormat() const { return outputFormat; }

 private:
  AudioCodec& codec;
  const Operation operation;
  const int32_t outputFormat;
  const bool copyPacketHeader;
};

}  // namespace ve
