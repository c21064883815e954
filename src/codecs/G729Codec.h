#pragma once

#include <cstdint>

#include "codecs/AudioCodec.h"
#include "codecs/g729/G729Bitstream.h"
#include "codecs/g729/G729Decoder.h"
#include "codecs/g729/G729Encoder.h"

namespace ve {

// G.729 Annex A at 8 kbit/s: each 10 ms block of 80 little-endian 16-bit samples (160 bytes)
// becomes one 10-byte frame in the RTP payload layout, and back. Each codec object has its own
// encoder and decoder state, freshly initialised at construction, so calls and engines never
// share coder state. Nothing is allocated per frame.
//
// Output is bounded by the capacity passed in `outLength`: only as many whole blocks or frames
// are coded as fit; a trailing partial block or frame is ignored. Encode and Decode always
// return 0.
//
// Beside whole frames, the decoder yields one 10 ms block (160 bytes) at a time for what the
// playout finds instead of a frame: a frame that was lost (DecodeErased: a sequence number
// that never came), a 2-byte SID frame that ends a payload of n * 10 + 2 bytes when the
// sender pauses (DecodeSid; Decode ignores those 2 bytes), and a frame the sender did not send
// during its pause (DecodeNoData: the timestamps jump without a gap in the sequence numbers).
// These return kDecodeOk, or kDecodeNoRoom (capacity under 160 bytes) or kDecodeBadSid (a SID
// that is not 2 bytes) with `outLength` 0 and the decoder untouched.
//
// Threads: Encode and Decode touch disjoint state, so one thread may encode while another
// decodes; two threads must not both encode (or both decode) on one object. The other Decode*
// calls are decoding too. No lock.
class G729Codec : public AudioCodec {
 public:
  static constexpr int32_t kBlockBytes = 160;
  static constexpr int32_t kFrameBytes = 10;

  G729Codec() = default;
  ~G729Codec() override = default;

  int32_t Encode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;
  int32_t Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;

  static constexpr int32_t kSidBytes = g729::kSidBytes;
  static constexpr int32_t kDecodeOk = 0;
  static constexpr int32_t kDecodeNoRoom = -10;
  static constexpr int32_t kDecodeBadSid = -20;

  // A lost frame: after speech, concealment from the last frame's spectrum and pitch, fading
  // as the loss goes on (about 10 dB over 60 ms, 40 dB over a second); during a pause, more
  // comfort noise.
  [[nodiscard]] int32_t DecodeErased(uint8_t* out, int32_t& outLength);
  // Comfort noise from one SID frame.
  [[nodiscard]] int32_t DecodeSid(const uint8_t* sid, int32_t sidLength, uint8_t* out, int32_t& outLength);
  // A frame not sent during a pause: comfort noise from the last SID (or, when the pause's
  // SID was lost, at the level of the last speech).
  [[nodiscard]] int32_t DecodeNoData(uint8_t* out, int32_t& outLength);

 private:
  // Runs `decode` (which fills 80 samples) into one block when the capacity allows.
  template <typename DecodeOne>
  int32_t DecodeBlock(DecodeOne decode, uint8_t* out, int32_t& outLength);

  g729::G729Encoder encoder;
  g729::G729Decoder decoder;
};

}  // namespace ve
