#pragma once

#include <cstdint>

namespace ve {

// The engine's codec numbers.
enum CodecType : int32_t {
  kCodecG711 = 0,
  kCodecG723 = 1,
  kCodecG729 = 2,
};

// A speech coder behind the codec filters. Encode takes little-endian 16-bit PCM and yields
// coded bytes; Decode the reverse. `outLength` carries the capacity of `out` in and the bytes
// written out. Result 0, or -10 when the output capacity is too small.
//
// Threads: a codec object is used only by the thread driving its filter; it has no lock.
class AudioCodec {
 public:
  virtual ~AudioCodec() = default;
  // Reached only by a codec that does not override it: reports that on the debug output and
  // returns 0 without touching the arguments.
  virtual int32_t Encode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength);
  virtual int32_t Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength);
};

}  // namespace ve
