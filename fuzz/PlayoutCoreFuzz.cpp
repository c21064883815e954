// Arbitrary bytes as a stream of RTP packets and playback requests for the playout, which
// decodes payloads from the network (G.711, G.729 with SID frames, comfort noise, G.723 frame
// headers) whatever their length, order or timing. It must read each payload within its
// length (every datagram is copied to a buffer of exactly its size), never hand out more than
// it was asked for, and keep its figures sane.
//
// Each record starts with a byte: its top bit picks the operation, the rest a size.
//   0: a packet; the next bytes give its payload type (one of 0, 8, 18, 13, 4, 96 by the low
//      bits), sequence and timestamp steps, the marker and SSRC bits, and then `size` payload
//      bytes (fewer at the end of the input);
//   1: `size` + 1 blocks of 10 ms asked for, 10 ms apart.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "audio/PlayoutCore.h"
#include "rtp/RtpPacket.h"

namespace {

constexpr uint8_t kPayloadTypes[] = {0, 8, 18, 13, 4, 96, 18, 0};

uint8_t Next(const uint8_t* data, size_t size, size_t* at) { return *at < size ? data[(*at)++] : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ve::PlayoutCore core;
  uint16_t sequence = 1000;
  uint32_t timestamp = 160000, now = 50000;
  size_t at = 0;
  while (at < size) {
    const uint8_t header = data[at++];
    const int32_t amount = header & 0x7F;
    if ((header & 0x80) == 0) {
      const uint8_t kind = Next(data, size, &at);
      const uint8_t steps = Next(data, size, &at);
      sequence = static_cast<uint16_t>(sequence + (steps & 0x0F) - 4);
      timestamp += static_cast<uint32_t>((steps >> 4) * 80) - 160;
      now += Next(data, size, &at);
      const size_t length = std::min<size_t>(static_cast<size_t>(amount), size - at);
      std::vector<uint8_t> datagram(12 + length);
      datagram[0] = 0x80;
      datagram[1] = static_cast<uint8_t>(((kind & 0x08) << 4) | kPayloadTypes[kind & 7]);
      datagram[2] = static_cast<uint8_t>(sequence >> 8);
      datagram[3] = static_cast<uint8_t>(sequence);
      for (int i = 0; i < 4; ++i) datagram[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
      datagram[11] = static_cast<uint8_t>(1 + ((kind >> 4) & 1));  // SSRC 1 or 2
      for (size_t i = 0; i < length; ++i) datagram[12 + i] = data[at + i];
      at += length;
      std::unique_ptr<ve::RtpPacket> packet(ve::RtpPacket::Parse(datagram.data(), static_cast<int32_t>(datagram.size())));
      if (packet != nullptr) core.Put(*packet, now);
    } else {
      for (int32_t block = 0; block <= amount; ++block) {
        int16_t out[ve::PlayoutCore::kBlockSamples + 1];
        out[ve::PlayoutCore::kBlockSamples] = 0x5A5A;
        core.Get(out, now);
        if (out[ve::PlayoutCore::kBlockSamples] != 0x5A5A) std::abort();
        now += 10;
      }
    }
    const ve::PlayoutCoreStats stats = core.Stats();
    if (stats.bufferedMs < 0 || stats.targetMs < 0 || stats.concealedMs < 0 || stats.playedMs < 0) std::abort();
  }
  return 0;
}
