#pragma once

#include <cstdint>
#include <memory>

#include "platform/WaveFormat.h"

namespace ve {

// The fields of a wave format record that the decoders need, with the tag of a
// WAVE_FORMAT_EXTENSIBLE wrapper already replaced by the tag of what it wraps, and the
// extension bytes that follow the 18-byte record (bounded by both cbSize and the record's size).
struct FormatView {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t blockAlign = 0;
  uint16_t bits = 0;
  const uint8_t* extra = nullptr;
  uint32_t extraSize = 0;
};

// Turns whole blocks of one source format into interleaved float values in [-1, 1]: one
// subclass per coding (linear PCM and float, G.711, IMA ADPCM, Microsoft ADPCM).
//
// Threads: used by one thread at a time (the stream that owns it).
class FormatDecoder {
 public:
  // Largest channel count accepted; more is refused.
  static constexpr uint16_t kMaxChannels = 8;

  virtual ~FormatDecoder() = default;

  // Reads the `formatSize` bytes at `format` (at least 18; the extension is read only as far
  // as both cbSize and formatSize reach). Null when the format is not decodable: unknown tag,
  // zero or too many channels, zero rate, a block alignment or bit depth that does not fit
  // the coding.
  static std::unique_ptr<FormatDecoder> Create(const WAVEFORMATEX* format, uint32_t formatSize);
  // The view Create decodes from; false when the record is too short or the extensible
  // wrapper is malformed.
  static bool Parse(const WAVEFORMATEX* format, uint32_t formatSize, FormatView* view);

  uint16_t Channels() const { return channels; }
  uint32_t BlockBytes() const { return blockBytes; }
  uint32_t FramesPerBlock() const { return framesPerBlock; }

  // Decodes `blocks` whole blocks from `in` into blocks × FramesPerBlock × Channels values.
  virtual void Decode(const uint8_t* in, uint32_t blocks, float* out) = 0;

 protected:
  FormatDecoder(uint16_t channelCount, uint32_t bytesPerBlock, uint32_t framesInBlock)
      : channels(channelCount), blockBytes(bytesPerBlock), framesPerBlock(framesInBlock) {}

 private:
  uint16_t channels;
  uint32_t blockBytes;
  uint32_t framesPerBlock;
};

}  // namespace ve
