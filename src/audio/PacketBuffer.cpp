#include "audio/PacketBuffer.h"

#include <algorithm>
#include <cstring>

#include "rtp/RtpPacket.h"
#include "rtp/RtpSequence.h"

namespace ve {

PacketBuffer::PacketBuffer() : slots(new Packet[kSlots]), used(new bool[kSlots]()) {}

PacketBuffer::Insert PacketBuffer::Put(const RtpPacket& packet, uint32_t arrivalMs) {
  const uint16_t sequence = packet.Sequence();
  if (!started) {
    started = true;
    nextSequence = sequence;
    highestSequence = sequence;
  }
  const int32_t ahead = SeqDelta(sequence, nextSequence);
  // Far behind or far ahead is no late packet but a jump (a sender that restarted).
  if (ahead >= kSlots || ahead < -kSlots) return Insert::kTooFar;
  if (ahead < 0) return Insert::kLate;
  const size_t index = sequence % kSlots;
  if (used[index]) return Insert::kDuplicate;
  Packet& slot = slots[index];
  slot.sequence = sequence;
  slot.timestamp = packet.Timestamp();
  slot.payloadType = packet.PayloadType();
  slot.marker = packet.Marker();
  slot.arrivalMs = arrivalMs;
  slot.length = std::min(std::max(packet.PayloadUsage(), 0), kMaxPayload);
  if (slot.length > 0) std::memcpy(slot.payload, packet.Payload(), static_cast<size_t>(slot.length));
  used[index] = true;
  ++count;
  if (count == 1 || SeqNewer(sequence, highestSequence)) highestSequence = sequence;
  return Insert::kStored;
}

const PacketBuffer::Packet* PacketBuffer::Front() const {
  if (count == 0) return nullptr;
  for (int32_t step = 0; step < kSlots; ++step) {
    const uint16_t sequence = static_cast<uint16_t>(nextSequence + step);
    if (used[sequence % kSlots]) return &Slot(sequence);
  }
  return nullptr;
}

const PacketBuffer::Packet* PacketBuffer::Back() const {
  if (count == 0) return nullptr;
  return &Slot(highestSequence);
}

void PacketBuffer::PopFront() {
  const Packet* front = Front();
  if (front == nullptr) return;
  const uint16_t sequence = front->sequence;
  used[sequence % kSlots] = false;
  --count;
  nextSequence = static_cast<uint16_t>(sequence + 1);
  if (count == 0) highestSequence = sequence;
}

void PacketBuffer::Clear() {
  std::fill(used.get(), used.get() + kSlots, false);
  count = 0;
  started = false;
}

}  // namespace ve
