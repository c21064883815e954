#include "codecs/G723Codec.h"

#include <cstring>

namespace ve {

int32_t G723Codec::Encode(const uint8_t*, int32_t, uint8_t*, int32_t& outLength) {
  // No coder yet: nothing to send.
  outLength = 0;
  return 0;
}

int32_t G723Codec::Decode(const uint8_t* in, int32_t inLength, uint8_t* out, int32_t& outLength) {
  // No coder yet: each frame of the payload plays as 30 ms of silence. The low two bits of a
  // frame's first byte say its kind and so its length: 6.3 kbit/s, 5.3 kbit/s, SID, or a
  // frame that was not transmitted.
  static constexpr int32_t kFrameLength[4] = {kFrameBytes64, kFrameBytes53, 4, 1};
  const int32_t capacity = out != nullptr && outLength > 0 ? outLength : 0;
  int32_t frames = 0;
  for (int32_t at = 0; in != nullptr && at < inLength; at += kFrameLength[in[at] & 3]) ++frames;
  int32_t bytes = frames * kFrameSamples * 2;
  if (bytes > capacity) bytes = capacity - capacity % (kFrameSamples * 2);
  if (bytes > 0) std::memset(out, 0, static_cast<size_t>(bytes));
  outLength = bytes;
  return 0;
}

void G723Codec::StartWriting(uint8_t* out, int32_t capacity) {
  writeAccumulator = 0;
  writeBits = 0;
  writeBuffer = out;
  writeIndex = 0;
  writeCapacity = out != nullptr && capacity > 0 ? capacity : 0;
}

bool G723Codec::Put(uint32_t value, int32_t n) {
  if (n < 0 || n > kMaxFieldBits || writeBits + n > 32) return false;
  const uint32_t field = n == 0 ? 0 : value & (0xFFFFFFFFu >> (32 - n));
  writeAccumulator |= field << writeBits;
  writeBits += n;
  if (writeBits >= 8) {
    if (writeIndex < writeCapacity) writeBuffer[writeIndex++] = static_cast<uint8_t>(writeAccumulator & 0xFF);
    writeAccumulator >>= 8;
    writeBits -= 8;
  }
  return writeBits > 0;
}

void G723Codec::StartReading(const uint8_t* in, int32_t length) {
  readAccumulator = 0;
  readBits = 0;
  readIndex = 0;
  readBuffer = in;
  readLength = in != nullptr && length > 0 ? length : 0;
}

int32_t G723Codec::Get(int32_t n, uint32_t& value) {
  value = 0;
  if (n < 0 || n > kMaxFieldBits) return -1;
  if (readBits < n) {
    if (readIndex >= readLength) return -1;
    readAccumulator |= static_cast<uint32_t>(readBuffer[readIndex++]) << readBits;
    readBits += 8;
  }
  value = n == 0 ? 0 : readAccumulator & (0xFFFFFFFFu >> (32 - n));
  if (n >= readBits) {
    readAccumulator = 0;
    readBits = 0;
  } else {
    readAccumulator >>= n;
    readBits -= n;
  }
  return readBits > 0 ? 1 : 0;
}

}  // namespace ve
