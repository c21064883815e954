// Fuzz target: the RTCP compound-packet check and the parse of what it lets through, plus the
// parse of unchecked bytes (counts, lengths and item lengths that lie must never lead outside
// the datagram). One receiver lives across inputs, so its record map is exercised too.
#include <cstddef>
#include <cstdint>

#include "rtcp/RtcpReceiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ve::RtcpReceiver receiver(0);
  if (size > 2048) return 0;
  auto length = static_cast<int32_t>(size);
  bool valid = ve::RtcpReceiver::IsValidCompound(data, length);
  int32_t bye = receiver.ReadRtcp(data, length);
  if (bye != 0 && bye != 1) __builtin_trap();
  if (static_cast<size_t>(receiver.getTranInfoCount()) > ve::RtcpReceiver::kMaxRecords) __builtin_trap();
  (void)valid;
  return 0;
}
