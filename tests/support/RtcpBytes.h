// Byte builders for the RTCP tests: parts from big-endian 32-bit words (SR, RR, SDES, BYE and
// report blocks in both layouts), a walk over a compound datagram, and G.711 RTP packets handed
// straight to a reception record.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "rtcp/NtpTime.h"
#include "rtcp/RtcpReceiver.h"
#include "rtcp/RtpReceiver.h"
#include "rtp/ByteOrder.h"
#include "rtp/RtpPacket.h"
#include "support/RtpBytes.h"

namespace ve::test {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint32_t>;

template <typename T>
std::vector<T> Join(std::initializer_list<std::vector<T>> parts) {
  std::vector<T> all;
  for (const std::vector<T>& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// An RTCP header (version 2, `count`, `type`, length in words) and the words.
inline Bytes Part(uint8_t count, uint8_t type, const Words& words) {
  Bytes b = {static_cast<uint8_t>(0x80 | count), type, 0, static_cast<uint8_t>(words.size())};
  for (uint32_t v : words) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
  }
  return b;
}

// Report blocks about `about`: the standard 24 bytes and the legacy 28 bytes (jitter 10 ms).
inline Words StandardBlock(uint32_t about, uint32_t lsr, uint32_t dlsr65536, uint8_t fraction = 3, uint32_t lost = 7) {
  return {about, (static_cast<uint32_t>(fraction) << 24) | lost, 0x10005, 80, lsr, dlsr65536};
}
inline Words LegacyBlock(uint32_t about, uint32_t lsr, uint32_t dlsrMs, uint8_t fraction = 3, uint32_t lost = 7) {
  return {about, static_cast<uint32_t>(fraction) << 24, lost << 8, 0x00010005, 10, lsr, dlsrMs};
}

// A sender report with the NTP time as it goes on the wire and `count` whole blocks.
inline Bytes SenderReport(uint32_t ssrc, const NtpTime& wire, const Words& blocks = {}, uint8_t count = 0) {
  return Part(count, 200, Join<uint32_t>({{ssrc, wire.seconds, wire.fraction, 1234, 10, 1600}, blocks}));
}
inline Bytes ReceiverReport(uint32_t ssrc, const Words& blocks = {}, uint8_t count = 0) {
  return Part(count, 201, Join<uint32_t>({{ssrc}, blocks}));
}
inline Bytes Bye(uint32_t ssrc) { return Part(1, 203, {ssrc}); }

// One SDES chunk with one item, the end item and padding to a word.
inline Bytes Sdes(uint32_t ssrc, uint8_t type, const Bytes& text) {
  Bytes b = Join<uint8_t>({Part(1, 202, {ssrc}), {type, static_cast<uint8_t>(text.size())}, text});
  b.resize((b.size() + 4) / 4 * 4, 0);
  b[3] = static_cast<uint8_t>(b.size() / 4 - 1);
  return b;
}
inline Bytes Cname(uint32_t ssrc, const char* text) { return Sdes(ssrc, 1, Bytes(text, text + std::strlen(text))); }
// The PRIV item with which a legacy speaker says it understands the standard layout.
inline Bytes StandardUnderstood(uint32_t ssrc) {
  const char* prefix = RtcpReceiver::kStandardUnderstood;
  Bytes text = {static_cast<uint8_t>(std::strlen(prefix))};
  text.insert(text.end(), prefix, prefix + std::strlen(prefix));
  return Sdes(ssrc, 8, text);
}

// The offset of the first part of `type` in a compound datagram, or -1.
inline int FindPart(const Bytes& d, uint8_t type) {
  for (size_t at = 0; at + 4 <= d.size(); at += (ReadU16BE(d.data() + at + 2) + 1u) * 4u) {
    if (d[at + 1] == type) return static_cast<int>(at);
  }
  return -1;
}

// A G.711 packet (timestamp 160 per sequence number) handed to `reception`, at `arrivalUnits`
// of the 8 kHz clock when given.
inline void HearRtp(RtpReceiver& reception, uint16_t seq, uint32_t ssrc, int64_t arrivalUnits = -1,
                    uint32_t timestamp = 0) {
  Bytes bytes(12 + 160, 0xD5);
  WriteRtpHeader(bytes.data(), 8, seq, timestamp != 0 ? timestamp : 160u * seq, ssrc);
  std::unique_ptr<RtpPacket> packet(RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
  if (arrivalUnits < 0) {
    reception.Receive(*packet);
  } else {
    reception.ReceiveAt(*packet, static_cast<uint32_t>(arrivalUnits));
  }
}

}  // namespace ve::test
