#pragma once

#include "codecs/CodecFilter.h"
#include "codecs/G723Codec.h"

namespace ve {

// The G.723 decoder: labels its output 16-bit PCM and attaches the RTP header of each input.
// Its codec is the G.723 slot, which writes no bytes.
//
// Threads: Transform runs on the driving thread (CodecFilter).
class G723DecoderFilter : public CodecFilter {
 public:
  G723DecoderFilter();
  ~G723DecoderFilter() override = default;

 private:
  G723Codec codec;
};

}  // namespace ve
