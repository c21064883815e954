#include "framework/AudioSample.h"

#include <gtest/gtest.h>

#include "framework/AudioSamplePool.h"
#include "support/TestComponents.h"

namespace ve {
namespace {

AudioSample* GetWithFormat(int32_t standard) {
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  WAVEFORMATEX format;
  sample->SetFormat(GetStandardFormat(&format, standard));
  return sample;
}

// Duration and a gap marker's silence follow the format's units (a G.729 frame is 10 bytes of
// 10 ms, a G.723 frame 24 or 20 bytes of 30 ms); data clears the silence; the format cannot
// change while the sample is shared; a zero rate or unit size gives zero instead of dividing by it.
TEST(AudioSample, DurationAndSilenceFollowTheFormatWhichIsFixedWhileShared) {
  const struct { int32_t format, bytes, ms; } cases[] = {
      {kFormatMuLaw, 160, 20}, {kFormatG729, 50, 50}, {kFormatG723_64, 24, 30}, {kFormatG723_53, 20, 30}};
  for (const auto& c : cases) {
    AudioSample* sample = GetWithFormat(c.format);
    sample->SetDataSize(c.bytes);
    EXPECT_EQ(sample->DurationMs(), c.ms) << "format " << c.format;
    sample->Release();
  }
  AudioSample* sample = GetWithFormat(kFormatPcm16);
  sample->SetSilenceMs(20);
  EXPECT_EQ(sample->SilenceBytes(), 320);
  WAVEFORMATEX alaw;
  GetStandardFormat(&alaw, kFormatALaw);
  sample->AddRef();
  sample->SetFormat(&alaw);
  EXPECT_EQ(sample->SilenceBytes(), 320);
  sample->Release();
  sample->SetFormat(&alaw);
  EXPECT_EQ(sample->SilenceBytes(), 160);
  sample->SetDataSize(160);
  EXPECT_EQ(sample->SilenceMs(), 0);

  const WAVEFORMATEX noRate{WAVE_FORMAT_PCM, 1, 0, 0, 2, 16, 0}, noUnit{WAVE_FORMAT_PCM, 0, 8000, 0, 0, 0, 0};
  for (WAVEFORMATEX broken : {noRate, noUnit}) {
    sample->SetFormat(&broken);
    sample->SetDataSize(320);
    EXPECT_EQ(sample->DurationMs(), 0);
    sample->SetDataSize(0);
    sample->SetSilenceMs(20);
    EXPECT_EQ(sample->SilenceBytes(), 0);
  }
  sample->Release();
}

// Counts deletions so the test can see who deletes an attached packet, and when.
struct TrackedPacket : MediaObject {
  explicit TrackedPacket(int* deleted) : deleted(deleted) {}
  ~TrackedPacket() override { ++*deleted; }
  int* deleted;
};

// A released sample comes back cleared, its packet deleted on the last release only. A sample
// still referenced when it reaches the free list (a release too many: the second one retires
// it; or a holder that kept it) is never handed out again.
TEST(AudioSample, LastReleaseClearsTheSampleAndAReferencedOneIsNotHandedOutAgain) {
  test::ReplacePool();  // an empty free list, so the next Get returns the released sample
  AudioSamplePool* pool = AudioSamplePool::Instance();
  int deleted = 0;
  AudioSample* sample = GetWithFormat(kFormatPcm16);
  sample->SetPacket(new TrackedPacket(&deleted));
  sample->SetPacket(new TrackedPacket(&deleted));
  EXPECT_EQ(deleted, 1);
  sample->SetDataSize(320);
  sample->SetSilenceMs(20);
  sample->AddRef();
  sample->Release();
  EXPECT_EQ(deleted, 1) << "a release that is not the last keeps the packet";
  EXPECT_EQ(sample->Release(), 0);
  EXPECT_EQ(deleted, 2);
  AudioSample* again = nullptr;
  pool->Get(&again);
  ASSERT_EQ(again, sample);
  EXPECT_EQ(std::make_tuple(again->Packet(), again->DataSize(), again->SilenceMs(), again->RefCount()),
            std::make_tuple(static_cast<MediaObject*>(nullptr), 0, 0, 1));
  EXPECT_EQ(again->Release(), 0);
  EXPECT_EQ(sample->Release(), -10);

  AudioSample* held = nullptr;
  pool->Get(&held);
  held->Release();
  held->AddRef();  // someone still holds it (a bug elsewhere)
  for (int i = 0; i < 4; ++i) {
    AudioSample* next = nullptr;
    pool->Get(&next);
    EXPECT_NE(next, sample);
    EXPECT_NE(next, held);
    next->Release();
  }
  EXPECT_EQ(held->Release(), 0) << "its holder still gives it back normally";
  test::ReplacePool();
}

}  // namespace
}  // namespace ve
