#include "audio/PacketBuffer.h"

#include "AudioTestSupport.h"

namespace ve {
namespace {

PacketBuffer::Insert Put(PacketBuffer& buffer, uint16_t seq, int payloadBytes = 160) {
  const std::vector<uint8_t> payload(static_cast<size_t>(payloadBytes), static_cast<uint8_t>(seq));
  return buffer.Put(*test::Rtp(8, seq, 160u * seq, 0x1234, payload).packet, 1000u + seq);
}

// Packets come out in sequence order whatever order they arrived in, across the wrap; a
// sequence number already held is a duplicate, one already played is late.
TEST(PacketBuffer, OrdersBySequenceAcrossTheWrapAndRefusesDuplicatesAndLatePackets) {
  PacketBuffer buffer;
  for (uint16_t seq : {65534, 1, 65535, 0}) EXPECT_EQ(Put(buffer, seq), PacketBuffer::Insert::kStored);
  EXPECT_EQ(Put(buffer, 0), PacketBuffer::Insert::kDuplicate);
  EXPECT_EQ(buffer.Count(), 4);
  EXPECT_EQ(buffer.Back()->sequence, 1);
  std::vector<uint16_t> order;
  while (const PacketBuffer::Packet* front = buffer.Front()) {
    order.push_back(front->sequence);
    EXPECT_EQ(front->payload[0], static_cast<uint8_t>(front->sequence));
    buffer.PopFront();
  }
  EXPECT_EQ(order, (std::vector<uint16_t>{65534, 65535, 0, 1}));
  EXPECT_EQ(Put(buffer, 65535), PacketBuffer::Insert::kLate);
  EXPECT_EQ(Put(buffer, 2 + PacketBuffer::kSlots), PacketBuffer::Insert::kTooFar);
  EXPECT_EQ(Put(buffer, static_cast<uint16_t>(1 - 1000)), PacketBuffer::Insert::kTooFar) << "a restart, not a late packet";
  EXPECT_EQ(Put(buffer, 5), PacketBuffer::Insert::kStored) << "a gap is fine";
  buffer.PopFront();
  EXPECT_EQ(Put(buffer, 3), PacketBuffer::Insert::kLate) << "its turn passed with the gap";
  buffer.Clear();
  EXPECT_EQ(Put(buffer, 3), PacketBuffer::Insert::kStored) << "a cleared buffer starts anew";
  // Any payload is kept whole up to the limit, and cut there.
  Put(buffer, 4, 320);
  Put(buffer, 5, 2000);
  buffer.PopFront();
  EXPECT_EQ(buffer.Front()->length, 320);
  buffer.PopFront();
  EXPECT_EQ(buffer.Front()->length, PacketBuffer::kMaxPayload);
}

}  // namespace
}  // namespace ve
