#include "codecs/G723DecoderFilter.h"

#include "framework/AudioSample.h"

namespace ve {

G723DecoderFilter::G723DecoderFilter() : CodecFilter(codec, Operation::kDecode, kFormatPcm16, true) { codec.SetMode(1); }

}  // namespace ve
