#pragma once

#include "codecs/CodecFilter.h"
#include "codecs/G729Codec.h"

namespace ve {

// The G.729 codec filter that decodes G.729 frames into 16-bit PCM (standard format 5) and
// attaches the RTP header of each input to its output: 25 bytes become two frames, 320 bytes.
// At most as many whole frames are decoded as fit in the 3200-byte output sample (20 frames);
// the rest of a longer payload is dropped.
//
// Threads: Transform runs on the driving thread (the RTP receive thread in a call; CodecFilter).
class G729DecoderFilter : public CodecFilter {
 public:
  G729DecoderFilter();
  ~G729DecoderFilter() override = default;

 private:
  G729Codec codec;
};

}  // namespace ve
