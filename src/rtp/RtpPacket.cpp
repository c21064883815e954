#include "rtp/RtpPacket.h"

#include "rtp/ByteOrder.h"
#include "rtp/Exception.h"

namespace ve {

namespace {

constexpr uint8_t kPaddingBit = 0x20;
constexpr uint8_t kExtensionBit = 0x10;

// Bytes of the header extension behind the CSRC list at `at` (its 4-byte head included), or
// -1 when the datagram ends before its head.
int32_t ExtensionBytes(const uint8_t* buffer, int32_t length, int32_t at) {
  if ((buffer[0] & kExtensionBit) == 0) return 0;
  if (length < at + 4) return -1;
  return 4 + 4 * ReadU16BE(buffer + at + 2);
}

// The padding count a datagram claims: its last byte when P is set, else 0.
int32_t ClaimedPadding(const uint8_t* buffer, int32_t length) {
  if (length < 1 || (buffer[0] & kPaddingBit) == 0) return 0;
  return buffer[length - 1];
}

}  // namespace

RtpPacket::RtpPacket(const uint8_t* data, int32_t length) : buffer(data), totalLength(length) {
  if (data == nullptr || length < kHeaderBytes) return;
  version = data[0] >> 6;
  extension = (data[0] & kExtensionBit) != 0;
  csrcCount = data[0] & 0x0F;
  marker = (data[1] & 0x80) != 0;
  payloadType = data[1] & 0x7F;
  sequence = ReadU16BE(data + 2);
  timestamp = ReadU32BE(data + 4);
  ssrc = ReadU32BE(data + 8);
  headerLength = kHeaderBytes + 4 * csrcCount;
  const int32_t extensionBytes = ExtensionBytes(data, length, headerLength);
  if (extensionBytes > 0) headerLength += extensionBytes;
  paddingCount = ClaimedPadding(data, length);
  payload = data + headerLength;
  payloadUsage = length - headerLength - paddingCount;
}

RtpPacket* RtpPacket::Parse(const uint8_t* data, int32_t length) {
  RtpPacket* packet = nullptr;
  try {
    if (data == nullptr || length < kHeaderBytes) {
      throw Exception(-10, "invalid RTP packet : len = %d bytes", length);
    }
    int32_t padding = ClaimedPadding(data, length);
    int32_t packetVersion = data[0] >> 6;
    if (packetVersion != kVersion) throw Exception(-30, "invalid RTP version %d", packetVersion);
    int32_t contributors = data[0] & 0x0F;
    int32_t header = kHeaderBytes + 4 * contributors;
    if (length < header) {
      throw Exception(-40, "totalLength (%d) < headerLength (%d) ! contributor count = %d", length, header,
                      contributors);
    }
    // A header extension is skipped; only one that overruns the datagram refuses it.
    const int32_t extension = ExtensionBytes(data, length, header);
    if (extension < 0 || length < header + extension) {
      throw Exception(-20, "header extension overruns the packet (%d bytes)", length);
    }
    header += extension;
    if (length < header + padding) {
      throw Exception(-50, "totalLength (%d) < headerLength (%d) + numPadding (%d)", length, header, padding);
    }
    packet = new RtpPacket(data, length);
    return packet;
  } catch (const Exception&) {
    delete packet;
    return nullptr;
  }
}

RtpPacket* RtpPacket::CopyHeader() const {
  auto* copy = new RtpPacket(buffer, headerLength);
  copy->buffer = nullptr;
  copy->payload = nullptr;
  copy->payloadUsage = 0;
  copy->paddingCount = 0;
  copy->totalLength = headerLength;
  return copy;
}

}  // namespace ve
