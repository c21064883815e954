#pragma once

#include "codecs/CodecFilter.h"
#include "codecs/G729Codec.h"

namespace ve {

// The G.729 codec filter that encodes 16-bit PCM into G.729 frames (standard format 2): a 50 ms
// capture block of 800 bytes becomes five frames, 50 bytes; a trailing partial 10 ms block is
// dropped. Attaches no packet.
//
// Threads: Transform runs on the driving thread (the capture thread in a call; CodecFilter).
class G729EncoderFilter : public CodecFilter {
 public:
  G729EncoderFilter();
  ~G729EncoderFilter() override = default;

 private:
  G729Codec codec;
};

}  // namespace ve
