#pragma once

#include "codecs/CodecFilter.h"
#include "codecs/G711Codec.h"

namespace ve {

// The G.711 codec filter that decodes A-law or u-law codes into 16-bit PCM and attaches the
// RTP header of each input to its output. The law is set by SetALaw/SetULaw (u-law after
// construction) before the filter is started.
//
// Threads: the setters come from the owner while the filter is idle; Transform runs on the
// driving thread (CodecFilter).
class G711DecoderFilter : public CodecFilter {
 public:
  G711DecoderFilter();
  ~G711DecoderFilter() override = default;

  int32_t SetALaw() { return codec.SetALaw(); }
  int32_t SetULaw() { return codec.SetULaw(); }
  bool IsALaw() const { return codec.IsALaw(); }

 private:
  G711Codec codec;
};

}  // namespace ve
