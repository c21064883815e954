// Fuzz target: RTP datagram parsing. Every accepted packet must describe bytes inside the
// datagram, and its header-only copy must carry no pointer into it.
#include <cstddef>
#include <cstdint>

#include "rtp/RtpPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  auto length = static_cast<int32_t>(size);
  ve::RtpPacket* packet = ve::RtpPacket::Parse(data, length);
  if (packet == nullptr) return 0;
  const uint8_t* end = data + size;
  if (packet->HeaderLength() > length || packet->PayloadUsage() < 0 ||
      packet->Payload() + packet->PayloadUsage() > end || packet->Extension() || packet->Version() != 2) {
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
  delete packet;
  return 0;
}
