#pragma once

// What the audio tests share: the test framework, the sample, signal, WAV and device helpers
// of the other test folders, and a few small helpers of their own.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codecs/FilterTestHelpers.h"
#include "rtp/RtpPacket.h"
#include "support/DeviceSignals.h"
#include "support/RtpBytes.h"
#include "support/SignalTools.h"
#include "support/TestComponents.h"
#include "support/WavWriter.h"
#include "voiceengine/Devices.h"

namespace ve::test {

// Pushes one sample into `sink` and drops the caller's reference.
inline int32_t Push(AudioSourceListener& sink, AudioSample* sample) {
  const int32_t result = sink.TakeNextAudioSample(sample, nullptr);
  sample->Release();
  return result;
}

// The bytes of `values` as they lie in memory.
template <typename T>
std::vector<uint8_t> Raw(const std::vector<T>& values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(T));
  if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

// An RTP packet over bytes of its own (the marker bit in `payloadType`'s top bit): the
// packet points into them, so it lives as long as this.
struct Rtp {
  std::vector<uint8_t> bytes;
  std::unique_ptr<RtpPacket> packet;
  Rtp(uint8_t payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc, const std::vector<uint8_t>& payload)
      : bytes(12 + payload.size()) {
    WriteRtpHeader(bytes.data(), payloadType, sequence, timestamp, ssrc);
    std::copy(payload.begin(), payload.end(), bytes.begin() + 12);
    packet.reset(RtpPacket::Parse(bytes.data(), static_cast<int32_t>(bytes.size())));
  }
};

}  // namespace ve::test
