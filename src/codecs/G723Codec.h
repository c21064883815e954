#pragma once

#include <cstdint>

#include "codecs/AudioCodec.h"

namespace ve {

// The G.723 slot: the engine frames, labels and carries G.723 audio (30 ms frames of 24 bytes
// at 6.4 kbit/s or 20 bytes at 5.3 kbit/s), but no coder fills those frames yet. Until one
// does, Encode yields nothing (no packet is sent) and Decode yields silence as long as the
// payload's frames last, so no stale memory reaches the wire or the speaker. A coder plugged
// in here packs its parameters with Put and unpacks them with Get, both
// least significant bit first.
//
// Threads: used only by the thread driving its filter; no lock.
class G723Codec : public AudioCodec {
 public:
  static constexpr int32_t kFrameBytes64 = 24;
  static constexpr int32_t kFrameBytes53 = 20;
  static constexpr int32_t kFrameSamples = 240;
  static constexpr int32_t kMaxFieldBits = 24;

  ~G723Codec() override = default;

  int32_t Encode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;
  int32_t Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) override;

  int32_t SetMode(int32_t value) {
    mode = value;
    return 0;
  }
  int32_t Mode() const { return mode; }

  // Starts packing into `out` (room for `capacity` bytes), with no bits held.
  void StartWriting(uint8_t* out, int32_t capacity);
  // Adds the low n bits of value (n 0..kMaxFieldBits) above the bits held and stores at most
  // one whole byte. Returns whether bits remain held; false, storing nothing, for a bad n.
  // A byte that would go past the capacity is dropped.
  bool Put(uint32_t value, int32_t n);
  int32_t BytesWritten() const { return writeIndex; }

  // Starts unpacking `length` bytes of `in`, with no bits held.
  void StartReading(const uint8_t* in, int32_t length);
  // Takes the next n bits (n 0..kMaxFieldBits) into `value`, reading one more byte when fewer
  // are held. Returns 1 when bits remain held, 0 when none do, and -1 (value 0) when a byte
  // was needed past the end of the input or n is bad.
  int32_t Get(int32_t n, uint32_t& value);

 private:
  int32_t mode = 1;

  uint32_t writeAccumulator = 0;
  int32_t writeBits = 0;
  uint8_t* writeBuffer = nullptr;
  int32_t writeIndex = 0;
  int32_t writeCapacity = 0;

  uint32_t readAccumulator = 0;
  int32_t readBits = 0;
  int32_t readIndex = 0;
  int32_t readLength = 0;
  const uint8_t* readBuffer = nullptr;
};

}  // namespace ve
