#pragma once

// Helpers for driving a filter's Transform with pooled samples in the codec and audio tests.

#include <cstring>
#include <initializer_list>
#include <vector>

#include "framework/AudioFilter.h"
#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "framework/SampleList.h"
#include "rtp/RtpPacket.h"

namespace ve::test {

// A pooled sample of standard format `format` holding `bytes`.
inline AudioSample* MakeBytes(int32_t format, const std::vector<uint8_t>& bytes) {
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  WAVEFORMATEX wf;
  sample->SetFormat(GetStandardFormat(&wf, format));
  if (!bytes.empty()) std::memcpy(sample->Data(), bytes.data(), bytes.size());
  sample->SetDataSize(static_cast<int32_t>(bytes.size()));
  return sample;
}

// A pooled 16-bit PCM sample holding `values`.
inline AudioSample* MakePcm(const std::vector<int16_t>& values) {
  std::vector<uint8_t> bytes(values.size() * 2);
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return MakeBytes(kFormatPcm16, bytes);
}

// A gap marker of `silenceMs` in standard format `format`.
inline AudioSample* MakeGap(int32_t format, int32_t silenceMs) {
  AudioSample* sample = MakeBytes(format, {});
  sample->SetSilenceMs(silenceMs);
  return sample;
}

// Attaches a packet parsed from a 12-byte header (the payload type, sequence 0x1234,
// timestamp 0x00010203, SSRC 0xCAFEBABE) followed by the sample's data. `datagram` must
// outlive the sample, since the packet points into it.
inline void AttachPacket(AudioSample* sample, std::vector<uint8_t>& datagram, uint8_t payloadType) {
  datagram = {0x80, payloadType, 0x12, 0x34, 0x00, 0x01, 0x02, 0x03, 0xCA, 0xFE, 0xBA, 0xBE};
  datagram.insert(datagram.end(), sample->Data(), sample->Data() + sample->DataSize());
  sample->SetPacket(RtpPacket::Parse(datagram.data(), static_cast<int32_t>(datagram.size())));
}

// The 16-bit values a sample holds.
inline std::vector<int16_t> Values(const AudioSample* sample) {
  std::vector<int16_t> values(sample == nullptr ? 0 : static_cast<size_t>(sample->DataSize() / 2));
  if (!values.empty()) std::memcpy(values.data(), sample->Data(), values.size() * 2);
  return values;
}

// One Transform over a list of the given samples (the list takes the caller's references;
// null entries stand for sources that gave nothing). Releases the output on destruction.
struct Cycle {
  int32_t result = 0;
  AudioSample* output = nullptr;

  Cycle(AudioFilter& filter, std::initializer_list<AudioSample*> inputs) {
    SampleList list;
    for (AudioSample* input : inputs) list.Add(input, nullptr);
    result = filter.Transform(&list, &output);
    for (AudioSample* input : inputs) {
      if (input != nullptr) input->Release();
    }
    list.Clear();
  }
  ~Cycle() {
    if (output != nullptr) output->Release();
  }
  Cycle(const Cycle&) = delete;
  Cycle& operator=(const Cycle&) = delete;
};

}  // namespace ve::test
