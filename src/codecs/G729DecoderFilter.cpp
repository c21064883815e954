#include "codecs/G729DecoderFilter.h"

#include "framework/AudioSample.h"

namespace ve {

G729DecoderFilter::G729DecoderFilter() : CodecFilter(codec, Operation::kDecode, kFormatPcm16, true) {}

}  // namespace ve
