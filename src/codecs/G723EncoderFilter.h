#pragma once

#include "codecs/CodecFilter.h"
#include "codecs/G723Codec.h"

namespace ve {

// The G.723 encoder: labels its output G.723 6.4 kbit/s (standard format 4). Its codec is the
// G.723 slot, which writes no bytes.
//
// Threads: Transform runs on the driving thread (CodecFilter).
class G723EncoderFilter : public CodecFilter {
 public:
  G723EncoderFilter();
  ~G723EncoderFilter() override = default;

 private:
  G723Codec codec;
};

}  // namespace ve
