#pragma once

// Test-only helpers that run whole signals through the independent G.729 Annex A
// implementation used as the reference, and through our own codec. Header-only so that the
// test program and the benchmark can both use it; only they link the reference library.

extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

#include <cstdint>
#include <vector>

#include "codecs/G729Codec.h"

namespace ve::test {

inline constexpr size_t kG729FrameSamples = 80;
inline constexpr size_t kG729FrameBytes = 10;

// One 10 ms unit of a received stream: a speech frame (10 bytes), a SID frame (2 bytes) or a
// frame the sender did not send (no bytes), each possibly lost on the way.
struct ReceivedFrame {
  std::vector<uint8_t> bytes;
  bool lost = false;
};

inline std::vector<ReceivedFrame> SpeechFrames(const std::vector<uint8_t>& bits, const std::vector<size_t>& lost = {}) {
  std::vector<ReceivedFrame> frames;
  for (size_t at = 0; at + kG729FrameBytes <= bits.size(); at += kG729FrameBytes) {
    frames.push_back({std::vector<uint8_t>(bits.begin() + at, bits.begin() + at + kG729FrameBytes)});
  }
  for (size_t f : lost) frames[f].lost = true;
  return frames;
}

// The reference encoder's frames; with voice activity detection, pauses become SID frames and
// frames that are not sent.
inline std::vector<ReceivedFrame> OracleEncodeWithPauses(const std::vector<int16_t>& pcm, bool vad = true) {
  bcg729EncoderChannelContextStruct* encoder = initBcg729EncoderChannel(vad ? 1 : 0);
  std::vector<ReceivedFrame> frames;
  uint8_t frame[kG729FrameBytes];
  for (size_t at = 0; at + kG729FrameSamples <= pcm.size(); at += kG729FrameSamples) {
    uint8_t length = 0;
    bcg729Encoder(encoder, pcm.data() + at, frame, &length);
    frames.push_back({std::vector<uint8_t>(frame, frame + length)});
  }
  closeBcg729EncoderChannel(encoder);
  return frames;
}

inline std::vector<uint8_t> OracleEncode(const std::vector<int16_t>& pcm) {
  std::vector<uint8_t> bits;
  for (const ReceivedFrame& f : OracleEncodeWithPauses(pcm, false)) bits.insert(bits.end(), f.bytes.begin(), f.bytes.end());
  return bits;
}

// The reference decoder has no separate call for a frame not sent: its lost-frame call
// continues the comfort noise during a pause.
inline std::vector<int16_t> OracleDecode(const std::vector<ReceivedFrame>& frames) {
  bcg729DecoderChannelContextStruct* decoder = initBcg729DecoderChannel();
  std::vector<int16_t> pcm(frames.size() * kG729FrameSamples);
  for (size_t f = 0; f < frames.size(); ++f) {
    const bool missing = frames[f].lost || frames[f].bytes.empty();
    const auto size = static_cast<uint8_t>(missing ? 0 : frames[f].bytes.size());
    bcg729Decoder(decoder, missing ? nullptr : frames[f].bytes.data(), size, missing ? 1 : 0, size == 2 ? 1 : 0, 0,
                  pcm.data() + f * kG729FrameSamples);
  }
  closeBcg729DecoderChannel(decoder);
  return pcm;
}

// Little-endian byte image of PCM samples, as the codec interface takes it.
inline std::vector<uint8_t> PcmBytes(const std::vector<int16_t>& pcm) {
  std::vector<uint8_t> bytes(pcm.size() * 2);
  for (size_t i = 0; i < pcm.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) >> 8);
  }
  return bytes;
}

// Our coder on the same signals; a fresh codec unless one is given.
inline std::vector<uint8_t> OwnEncode(const std::vector<int16_t>& pcm, G729Codec* codec = nullptr) {
  G729Codec fresh;
  const std::vector<uint8_t> in = PcmBytes(pcm);
  std::vector<uint8_t> bits(pcm.size() / kG729FrameSamples * kG729FrameBytes);
  auto length = static_cast<int32_t>(bits.size());
  (codec != nullptr ? *codec : fresh).Encode(in.data(), static_cast<int32_t>(in.size()), bits.data(), length);
  bits.resize(static_cast<size_t>(length));
  return bits;
}

// Each frame by the call for its kind; empty when a call fails.
inline std::vector<int16_t> OwnDecode(const std::vector<ReceivedFrame>& frames, G729Codec* codec = nullptr) {
  G729Codec fresh;
  G729Codec& c = codec != nullptr ? *codec : fresh;
  std::vector<int16_t> pcm;
  uint8_t block[G729Codec::kBlockBytes];
  for (const ReceivedFrame& frame : frames) {
    int32_t length = G729Codec::kBlockBytes;
    const auto size = static_cast<int32_t>(frame.bytes.size());
    const int32_t result = frame.lost ? c.DecodeErased(block, length)
                           : size == 0 ? c.DecodeNoData(block, length)
                           : size == G729Codec::kSidBytes ? c.DecodeSid(frame.bytes.data(), size, block, length)
                                                          : c.Decode(frame.bytes.data(), size, block, length);
    if (result != 0 || length != G729Codec::kBlockBytes) return {};
    for (int32_t i = 0; i < length; i += 2) pcm.push_back(static_cast<int16_t>(block[i] | block[i + 1] << 8));
  }
  return pcm;
}

}  // namespace ve::test
