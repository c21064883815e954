#include "codecs/G729EncoderFilter.h"

#include "framework/AudioSample.h"

namespace ve {

G729EncoderFilter::G729EncoderFilter() : CodecFilter(codec, Operation::kEncode, kFormatG729, false) {}

}  // namespace ve
