#include "codecs/G723EncoderFilter.h"

#include "framework/AudioSample.h"

namespace ve {

G723EncoderFilter::G723EncoderFilter() : CodecFilter(codec, Operation::kEncode, kFormatG723_64, false) { codec.SetMode(1); }

}  // namespace ve
