// Fuzz target: RTP datagram parsing and the source gate behind it. Every accepted packet must
// describe bytes inside the datagram (a header extension included), and its header-only copy
// must carry no pointer into it. One gate lives across inputs; the last input byte picks where
// a datagram comes from (the peer's port, another port of its address, another address), so
// probation, latching and duplicate tracking all meet hostile sequences.
#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSourceGate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ve::RtpSourceGate* gate = [] {
    auto* made = new ve::RtpSourceGate();
    made->SetRemote(ve::platform::Ipv4Endpoint{0x0100007Fu, 4000});
    return made;
  }();
  if (size > 4096) return 0;
  auto length = static_cast<int32_t>(size);
  ve::RtpPacket* packet = ve::RtpPacket::Parse(data, length);
  if (packet == nullptr) return 0;
  const uint8_t* end = data + size;
  if (packet->HeaderLength() > length || packet->PayloadUsage() < 0 ||
      packet->Payload() + packet->PayloadUsage() > end || packet->Version() != 2) {
    __builtin_trap();
  }
  // Touch every payload byte so a bad bound shows up under the address sanitizer.
  volatile uint8_t sum = 0;
  for (int32_t i = 0; i < packet->PayloadUsage(); ++i) sum = static_cast<uint8_t>(sum + packet->Payload()[i]);
  ve::RtpPacket* copy = packet->CopyHeader();
  if (copy->Buffer() != nullptr || copy->Payload() != nullptr || copy->Sequence() != packet->Sequence() ||
      copy->Ssrc() != packet->Ssrc()) {
    __builtin_trap();
  }
  delete copy;

  const uint8_t where = data[size - 1] % 3;
  const ve::platform::Ipv4Endpoint from{where == 2 ? 0x0200007Fu : 0x0100007Fu,
                                        static_cast<uint16_t>(where == 0 ? 4000 : 4100)};
  gate->Judge(*packet, data, length, from);
  uint8_t held[ve::RtpSourceGate::kHeldBytes];
  const int32_t heldLength = gate->TakeHeld(held, sizeof held);
  if (heldLength < 0 || heldLength > ve::RtpSourceGate::kHeldBytes) __builtin_trap();
  uint32_t ssrc = 0;
  ve::platform::Ipv4Endpoint heardFrom;
  if (gate->Heard(&ssrc, &heardFrom) && heardFrom.address == 0x0200007Fu) __builtin_trap();  // never a stranger
  delete packet;
  return 0;
}
