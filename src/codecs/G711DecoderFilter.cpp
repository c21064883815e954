#include "codecs/G711DecoderFilter.h"

#include "framework/AudioSample.h"

namespace ve {

G711DecoderFilter::G711DecoderFilter() : CodecFilter(codec, Operation::kDecode, kFormatPcm16, true) {}

}  // namespace ve
