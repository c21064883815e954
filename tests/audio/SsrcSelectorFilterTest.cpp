#include "audio/SsrcSelectorFilter.h"

#include <gtest/gtest.h>

#include <vector>

#include "framework/AudioSample.h"
#include "rtp/RtpPacket.h"
#include "support/ImpairmentScript.h"

namespace ve {
namespace {

using test::MakeDecodedSample;

constexpr uint32_t kFrameUnits = 160;

// Pushes the n-th 20 ms packet of source `ssrc` into the selector as the decoder would.
void Push(SsrcSelectorFilter& selector, uint32_t ssrc, int n) {
  AudioSample* sample = MakeDecodedSample(ssrc, static_cast<uint16_t>(n), 1000 + n * kFrameUnits, 20);
  selector.TakeNextAudioSample(sample, nullptr);
  sample->Release();
}

struct Pulled {
  uint32_t ssrc = 0;
  int frame = -1;  // -1: a gap marker
  int32_t silenceMs = 0;
};

// One pull as the player makes it.
Pulled Pull(SsrcSelectorFilter& selector) {
  AudioSample* out = nullptr;
  EXPECT_EQ(selector.GiveNextAudioSample(&out, nullptr), 0);
  Pulled pulled;
  if (out == nullptr) return pulled;
  if (const RtpPacket* packet = RtpPacketOf(out)) {
    pulled.ssrc = packet->Ssrc();
    pulled.frame = static_cast<int>((packet->Timestamp() - 1000) / kFrameUnits);
  } else {
    pulled.silenceMs = out->SilenceMs();
    EXPECT_EQ(out->DataSize(), 0);
    EXPECT_EQ(out->Format().wFormatTag, WAVE_FORMAT_PCM);
  }
  out->Release();
  return pulled;
}

// A source plays once it has buffered 100 ms, gap markers standing in until then. Empty at a
// request, it is forgotten (nothing repeats its last sample) and must buffer again.
TEST(SsrcSelectorFilter, SourcePlaysAfter100MsAndIsForgottenWhenEmpty) {
  SsrcSelectorFilter selector;
  selector.Prepare();
  for (int round = 0; round < 2; ++round) {
    const int first = round * 5;
    for (int n = first; n < first + 4; ++n) {
      Push(selector, 7, n);
      EXPECT_EQ(Pull(selector).silenceMs, 20);  // a gap marker
    }
    Push(selector, 7, first + 4);
    for (int n = first; n < first + 5; ++n) EXPECT_EQ(Pull(selector).frame, n);
    EXPECT_EQ(Pull(selector).frame, -1);
    EXPECT_FALSE(selector.CurrentSsrc(nullptr));
    EXPECT_EQ(selector.QueueCount(), 0);
    EXPECT_EQ(selector.Stats().currentDropped, round + 1);
  }
}

TEST(SsrcSelectorFilter, LowestReadySsrcWinsAndTheOtherQueueIsFreed) {
  SsrcSelectorFilter selector;
  selector.Prepare();
  AudioSample* kept = MakeDecodedSample(200, 0, 1000, 20);
  selector.TakeNextAudioSample(kept, nullptr);
  for (int n = 1; n < 6; ++n) Push(selector, 200, n);
  for (int n = 0; n < 5; ++n) Push(selector, 100, n);
  Push(selector, 50, 0);  // lower, but not ready
  EXPECT_EQ(kept->RefCount(), 2);

  Pulled first = Pull(selector);
  EXPECT_EQ(first.ssrc, 100u);
  EXPECT_EQ(selector.QueueCount(), 1);
  EXPECT_EQ(kept->RefCount(), 1);  // the losing source's samples went with its queue
  kept->Release();
  // The loser keeps sending; its packets open a new queue but are never played while the
  // chosen source has something.
  for (int n = 6; n < 9; ++n) Push(selector, 200, n);
  for (int n = 1; n < 5; ++n) EXPECT_EQ(Pull(selector).ssrc, 100u);
}

TEST(SsrcSelectorFilter, SixMissesInARowDropTheCurrentSource) {
  SsrcSelectorFilter selector;
  selector.Prepare();
  for (int n = 0; n < 5; ++n) Push(selector, 7, n);
  // Far ahead: the gap cannot be covered, so the queue falls back to buffering with samples
  // left in it.
  for (int n = 40; n < 42; ++n) Push(selector, 7, n);
  std::vector<int> frames = {Pull(selector).frame};
  // A second source gets ready meanwhile.
  for (int n = 0; n < 5; ++n) Push(selector, 9, n);
  for (int i = 1; i < 15; ++i) frames.push_back(Pull(selector).frame);
  // Five frames, four repeats of the last, six misses; then the other source plays.
  EXPECT_EQ(frames, (std::vector<int>{0, 1, 2, 3, 4, 4, 4, 4, 4, -1, -1, -1, -1, -1, -1}));
  Pulled next = Pull(selector);
  EXPECT_EQ(next.ssrc, 9u);
  EXPECT_EQ(next.frame, 0);
}

}  // namespace
}  // namespace ve
