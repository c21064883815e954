#pragma once

#include <cstdint>
#include <memory>

namespace ve {

constexpr int32_t RTP_MTU = 8129;

// A fixed-size, zero-filled buffer holding one compound RTCP packet: the transmitter appends
// parts to it (GetFreePtr, then AllocData), the receiver reads one datagram into it
// (GetPacketData, then SetTotalUsage).
//
// Threads: used by one thread at a time (the sending thread).
class RtcpPacket {
 public:
  static constexpr int32_t kAlloc = 2048;

  RtcpPacket();
  RtcpPacket(const RtcpPacket&) = delete;
  RtcpPacket& operator=(const RtcpPacket&) = delete;

  uint8_t* GetPacketData() { return packetData.get(); }
  const uint8_t* GetPacketData() const { return packetData.get(); }
  // Where the next part goes.
  uint8_t* GetFreePtr() { return packetData.get() + GetTotalUsage(); }

  // Reserves n bytes behind the used part without touching them: n, or -1 (and no change)
  // when fewer than n bytes are free.
  int32_t AllocData(int32_t n);

  int32_t GetTotalUsage() const { return packetAlloc - freeSize; }
  // After a datagram was read into the buffer; sizes outside 0..kAlloc are clamped.
  void SetTotalUsage(int32_t size);
  int32_t GetPacketAlloc() const { return packetAlloc; }
  int32_t GetFreeSize() const { return freeSize; }

  // Fields of the first RTCP header in the buffer.
  uint8_t GetVersion() const { return packetData[0] >> 6; }
  bool GetPadding() const { return (packetData[0] & 0x20) != 0; }
  uint8_t GetCount() const { return packetData[0] & 0x1F; }
  uint8_t GetPacketType() const { return packetData[1]; }
  uint16_t GetLength() const { return static_cast<uint16_t>((packetData[2] << 8) | packetData[3]); }

  // Dumps the used bytes (DumpBytes) and a closing rule to the standard error stream.
  void PrintPacket() const;

 private:
  std::unique_ptr<uint8_t[]> packetData;
  int32_t packetAlloc = kAlloc;
  int32_t freeSize = kAlloc;
};

}  // namespace ve
