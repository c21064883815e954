#include "codecs/CodecFilter.h"

#include <algorithm>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "rtp/RtpPacket.h"

namespace ve {

CodecFilter::CodecFilter(AudioCodec& coder, Operation op, int32_t format, bool copyHeader)
    : codec(coder), operation(op), outputFormat(format), copyPacketHeader(copyHeader) {}

int32_t CodecFilter::Transform(SampleList* inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* input = inputs->First();
  if (input == nullptr) return 0;

  AudioSample* output = nullptr;
  if (AudioSamplePool::Instance()->Get(&output) != 0 || output == nullptr) return -10;
  *out = output;

  WAVEFORMATEX format;
  output->SetFormat(GetStandardFormat(&format, OutputFormat()));

  if (copyPacketHeader) {
    if (auto* packet = dynamic_cast<RtpPacket*>(input->Packet())) output->SetPacket(packet->CopyHeader());
  }

  if (input->DataSize() <= 0) {
    // A gap stays a gap: no concealment or comfort noise is made for it.
    output->SetSilenceMs(input->SilenceMs());
    return 0;
  }

  // A size beyond the input's own buffer is never read.
  const int32_t inLength = std::min(input->DataSize(), input->Capacity());
  int32_t length = output->Capacity();
  int32_t result = operation == Operation::kEncode ? codec.Encode(input->Data(), inLength, output->Data(), length)
                                                   : codec.Decode(input->Data(), inLength, output->Data(), length);
  output->SetDataSize(length);
  // A coder that yields nothing leaves a gap of the input's length.
  if (length <= 0) output->SetSilenceMs(input->DurationMs());
  return result;
}

}  // namespace ve
