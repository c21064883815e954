#pragma once

#include <cstdint>

#include "framework/MediaObject.h"

namespace ve {

// The parsed, read-only view of one received RTP data packet (12-byte header, version 2; a
// header extension is skipped). It points into the receive buffer it was parsed from and never
// owns it, so it is valid only until that buffer is refilled; holders further down the chain
// keep a header-only copy (CopyHeader), which carries the header fields and no pointer at all.
//
// A sample owns its attached packet through MediaObject and deletes it through that base.
//
// Threads: immutable after construction; any thread may read it.
class RtpPacket : public MediaObject {
 public:
  static constexpr int32_t kHeaderBytes = 12;
  static constexpr uint8_t kVersion = 2;

  // Checks a received datagram and returns a new packet over it (owned by the caller), or
  // null when the bytes are not an acceptable RTP packet. Never reads outside
  // [buffer, buffer + length) and prints nothing.
  static RtpPacket* Parse(const uint8_t* buffer, int32_t length);

  // Decodes the header fields without checking them; reads only within the `length` bytes.
  // Parse is the way to build a packet from outside bytes.
  RtpPacket(const uint8_t* buffer, int32_t length);
  ~RtpPacket() override = default;
  RtpPacket(const RtpPacket&) = delete;
  RtpPacket& operator=(const RtpPacket&) = delete;

  // A new packet with every header field of this one and null buffer and payload pointers;
  // its payload length and padding count are 0. Owned by the caller.
  RtpPacket* CopyHeader() const;

  bool Extension() const { return extension != 0; }
  uint8_t CsrcCount() const { return csrcCount; }
  bool Marker() const { return marker != 0; }
  uint8_t PayloadType() const { return payloadType; }
  uint16_t Sequence() const { return sequence; }
  uint32_t Timestamp() const { return timestamp; }
  uint32_t Ssrc() const { return ssrc; }
  int32_t PayloadUsage() const { return payloadUsage; }
  const uint8_t* Payload() const { return payload; }
  uint8_t Version() const { return version; }
  int32_t HeaderLength() const { return headerLength; }
  const uint8_t* Buffer() const { return buffer; }
  int32_t TotalLength() const { return totalLength; }
  int32_t PaddingCount() const { return paddingCount; }

 private:
  uint8_t extension = 0;
  uint8_t csrcCount = 0;
  uint8_t marker = 0;
  uint8_t payloadType = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  int32_t payloadUsage = 0;
  const uint8_t* payload = nullptr;
  uint8_t version = 0;
  int32_t headerLength = kHeaderBytes;
  const uint8_t* buffer = nullptr;
  int32_t totalLength = 0;
  int32_t paddingCount = 0;
};

}  // namespace ve
