#include "codecs/G711EncoderFilter.h"

#include "framework/AudioSample.h"

namespace ve {

G711EncoderFilter::G711EncoderFilter() : CodecFilter(codec, Operation::kEncode, kFormatMuLaw, false) {}

int32_t G711EncoderFilter::OutputFormat() const { return codec.IsALaw() ? kFormatALaw : kFormatMuLaw; }

}  // namespace ve
