#pragma once

#include <cstdint>
#include <memory>

namespace ve {

class RtpPacket;

// The encoded packets of one source between arrival and playout, ordered by sequence number.
// Slots are allocated once, so nothing is allocated per packet: a packet lives in the slot of
// its sequence number modulo kSlots, within a window of kSlots numbers starting at the next
// one to play.
//
// Threads: none of its own; the owner serialises every call.
class PacketBuffer {
 public:
  static constexpr int32_t kSlots = 128;
  static constexpr int32_t kMaxPayload = 1012;

  struct Packet {
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint8_t payloadType = 0;
    bool marker = false;
    uint32_t arrivalMs = 0;
    int32_t length = 0;
    uint8_t payload[kMaxPayload] = {};
  };

  enum class Insert : uint8_t {
    kStored,     // kept, to be played
    kDuplicate,  // that sequence number is held already
    kLate,       // its turn has passed (at most kSlots numbers ago)
    kTooFar,     // beyond the window either way: the caller decides (a restart, an overflow)
  };

  PacketBuffer();
  PacketBuffer(const PacketBuffer&) = delete;
  PacketBuffer& operator=(const PacketBuffer&) = delete;

  // Files a packet (a payload longer than kMaxPayload is cut there).
  Insert Put(const RtpPacket& packet, uint32_t arrivalMs);
  // The next packet to play (lowest sequence number held), or null.
  const Packet* Front() const;
  // Releases the front packet; the next sequence number to play moves past it.
  void PopFront();
  // Forgets everything; the next packet put starts the window.
  void Clear();

  int32_t Count() const { return count; }
  bool Empty() const { return count == 0; }
  // The newest packet held (highest sequence number), or null.
  const Packet* Back() const;

 private:
  Packet& Slot(uint16_t sequence) { return slots[sequence % kSlots]; }
  const Packet& Slot(uint16_t sequence) const { return slots[sequence % kSlots]; }

  std::unique_ptr<Packet[]> slots;
  std::unique_ptr<bool[]> used;
  bool started = false;
  uint16_t nextSequence = 0;  // the lowest sequence number still to be played
  uint16_t highestSequence = 0;
  int32_t count = 0;
};

}  // namespace ve
