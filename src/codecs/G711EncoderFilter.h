#pragma once

#include "codecs/CodecFilter.h"
#include "codecs/G711Codec.h"

namespace ve {

// The G.711 codec filter that encodes 16-bit PCM into A-law or u-law codes. The law is set by
// SetALaw/SetULaw (u-law after construction) before the filter is started.
//
// Threads: the setters come from the owner while the filter is idle; Transform runs on the
// driving thread (CodecFilter).
class G711EncoderFilter : public CodecFilter {
 public:
  G711EncoderFilter();
  ~G711EncoderFilter() override = default;

  int32_t SetALaw() { return codec.SetALaw(); }
  int32_t SetULaw() { return codec.SetULaw(); }
  bool IsALaw() const { return codec.IsALaw(); }

 protected:
  // A-law output is standard format 1, u-law output format 0.
  int32_t OutputFormat() const override;

 private:
  G711Codec codec;
};

}  // namespace ve
