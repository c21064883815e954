#include "codecs/AudioCodec.h"

#include "platform/DebugOutput.h"

namespace ve {

int32_t AudioCodec::Encode(const uint8_t*, int32_t, uint8_t*, int32_t&) {
  platform::OutputDebugString("AudioCodec::Encode : ERROR : pure virtual function call !!!\n");
  return 0;
}

int32_t AudioCodec::Decode(const uint8_t*, int32_t, uint8_t*, int32_t&) {
  platform::OutputDebugString("AudioCodec::Decode : ERROR : pure virtual function call !!!\n");
  return 0;
}

}  // namespace ve
