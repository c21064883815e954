#include "codecs/AcmConverterFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSamplePool.h"
#include "support/WavWriter.h"

namespace ve {
namespace {

using test::Bytes;

// Pushes `bytes` into the converter's sink side as one sample; returns ProcessSamples' result.
int32_t Push(AcmConverterFilter& converter, const Bytes& bytes, int32_t silenceMs = 0) {
  AudioSample* sample = nullptr;
  AudioSamplePool::Instance()->Get(&sample);
  std::copy(bytes.begin(), bytes.end(), sample->Data());
  sample->SetDataSize(static_cast<int32_t>(bytes.size()));
  if (bytes.empty()) sample->SetSilenceMs(silenceMs);
  int32_t result = converter.AsSink()->TakeNextAudioSample(sample, nullptr);
  sample->Release();
  return result;
}

// Pulls one output sample; returns the result and its bytes.
int32_t Pull(AcmConverterFilter& converter, Bytes* bytes) {
  AudioSample* sample = nullptr;
  int32_t result = converter.GiveNextAudioSample(&sample, nullptr);
  bytes->clear();
  if (sample != nullptr) {
    bytes->assign(sample->Data(), sample->Data() + sample->DataSize());
    sample->Release();
  }
  return result;
}

TEST(AcmConverterFilter, CutsWholeFramesFromTheFifo) {
  AcmConverterFilter converter;
  ASSERT_EQ(converter.Prepare(), 0);
  ASSERT_EQ(converter.Prepare(), 0);  // already open
  Bytes all(1000);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i * 13 + i / 256);
  ASSERT_EQ(Push(converter, all), 0);
  Bytes frame;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Pull(converter, &frame), 0);
    EXPECT_EQ(frame, Bytes(all.begin() + 320 * i, all.begin() + 320 * (i + 1)));
  }
  EXPECT_EQ(Pull(converter, &frame), -10);
  EXPECT_TRUE(frame.empty());
  EXPECT_EQ(converter.BufferedBytes(), 40);
  // The 40 bytes left wait for more and lead the next frame, round after round, while the
  // writes wrap the ring (split copies, as 1000 + 320 k never lands on its end).
  Bytes carried(all.begin() + 960, all.end());
  for (int round = 0; round < 60; ++round) {
    Bytes chunk(320);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(round * 7 + i);
    ASSERT_EQ(Push(converter, chunk), 0);
    ASSERT_EQ(Pull(converter, &frame), 0);
    carried.insert(carried.end(), chunk.begin(), chunk.begin() + 280);
    ASSERT_EQ(frame, carried) << round;
    carried.assign(chunk.begin() + 280, chunk.end());
  }
  EXPECT_EQ(converter.Unprepare(), 0);
  EXPECT_EQ(converter.Unprepare(), 0);  // already closed
}

// Closed, gap and empty inputs fail with their codes; a pair the conversion layer refuses
// fails to prepare. Input that can never be converted is dropped and the header comes back.
TEST(AcmConverterFilter, FailuresGiveTheirCodesAndUnconvertibleInputIsDropped) {
  AcmConverterFilter converter;
  converter.SetFrameDuration(30);
  Bytes frame;
  EXPECT_EQ(Pull(converter, &frame), -20);
  EXPECT_EQ(Push(converter, Bytes(320, 1)), -50);
  ASSERT_EQ(converter.Prepare(), 0);
  EXPECT_EQ(Push(converter, {}, 20), -40);
  converter.Unprepare();

  WAVEFORMATEX mp3 = test::MakeLinearFormat(0x55, 8000, 1, 16);
  converter.SetSourceFormat(&mp3);
  EXPECT_EQ(converter.Prepare(), -10);
  EXPECT_EQ(Pull(converter, &frame), -20);

  // One IMA ADPCM block of 16000 bytes decodes to more than the destination buffer holds at
  // the same rate, so the input is carried whole until carried plus new exceeds 16000.
  WAVEFORMATEX ima = test::MakeLinearFormat(WAVE_FORMAT_IMA_ADPCM, 8000, 1, 4);
  ima.nBlockAlign = 16000;
  converter.SetSourceFormat(&ima);
  ASSERT_EQ(converter.Prepare(), 0);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Push(converter, Bytes(3200, 0x11)), 0) << i;
  EXPECT_EQ(Push(converter, Bytes(3200, 0x11)), -20);
  EXPECT_EQ(Push(converter, Bytes(1, 0x11)), -20);
  EXPECT_EQ(converter.BufferedBytes(), 0);
  EXPECT_EQ(converter.Unprepare(), 0);

  // A destination without a sample rate has no frame size: nothing to give, and no fault.
  const WAVEFORMATEX noRate = test::MakeLinearFormat(WAVE_FORMAT_PCM, 0, 1, 16);
  converter.SetDestinationFormat(&noRate);
  EXPECT_EQ(Pull(converter, &frame), -20);
}

// A sink waiting for space on the full FIFO is woken by taken frames and by Flush.
TEST(AcmConverterFilter, WaitingSinkIsWokenByTakenFramesAndFlush) {
  AcmConverterFilter converter;
  ASSERT_EQ(converter.Prepare(), 0);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Push(converter, Bytes(3200, 1)), 0);
  std::thread pusher([&] { EXPECT_EQ(Push(converter, Bytes(640, 2)), 0); });
  Bytes frame;
  ASSERT_EQ(Pull(converter, &frame), 0);
  ASSERT_EQ(Pull(converter, &frame), 0);  // 640 bytes free: the pusher can append
  pusher.join();
  EXPECT_EQ(converter.BufferedBytes(), 16000);

  std::thread second([&] { EXPECT_EQ(Push(converter, Bytes(320, 3)), 0); });
  EXPECT_EQ(converter.Flush(), 0);
  second.join();
  EXPECT_EQ(converter.BufferedBytes(), 320);
}

// A consumer that only counts what is pushed to it; pulls happen from the test.
class Consumer : public AudioSourceListener {
 public:
  int32_t TakeNextAudioSample(AudioSample*, AudioSinkListener*) override { return 0; }
};

// With a consumer linked and no source, Unprepare first hands on what is buffered: a part
// frame made whole with silence, and the end a resampler holds back. With nobody taking, it
// gives up instead of hanging.
TEST(AcmConverterFilter, UnprepareDrainsToAConsumer) {
  AcmConverterFilter converter;
  Consumer consumer;
  converter.AddListener(&consumer);
  const WAVEFORMATEX wide = test::MakeLinearFormat(WAVE_FORMAT_PCM, 16000, 1, 16);
  const Bytes tone = test::EncodeSamples(test::Tone(500, 16000, 0.5, 8000, 1), WAVE_FORMAT_PCM, 16);
  for (bool resampled : {false, true}) {
    if (resampled) converter.SetSourceFormat(&wide);
    ASSERT_EQ(converter.Prepare(), 0);
    const Bytes input = resampled ? tone : Bytes(1000, 1);
    for (size_t at = 0; at < input.size(); at += 640) {
      ASSERT_EQ(Push(converter, Bytes(input.begin() + at, input.begin() + std::min(at + 640, input.size()))), 0);
    }
    std::atomic<bool> closed{false};
    int pulled = 0;
    Bytes frame, last;
    std::thread puller([&] {
      while (!closed) {
        if (Pull(converter, &frame) != 0) std::this_thread::yield();
        else ++pulled, last = frame;
      }
    });
    EXPECT_EQ(converter.Unprepare(), 0);
    closed = true;
    puller.join();
    EXPECT_EQ(converter.BufferedBytes(), 0);
    EXPECT_GE(pulled, resampled ? 24 : 4) << resampled;  // half a second at 16 kHz: 25 frames of 20 ms
    ASSERT_EQ(last.size(), 320u);
    if (!resampled) {
      EXPECT_EQ(Bytes(last.begin() + 38, last.begin() + 42), (Bytes{1, 1, 0, 0}));
    }
  }
  // 16000 bytes are not a whole number of 30 ms frames, and the full FIFO has no room for the
  // silence that would complete the last one: with nobody taking, both waits time out.
  const WAVEFORMATEX narrow = test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16);
  converter.SetSourceFormat(&narrow);
  converter.SetFrameDuration(30);
  ASSERT_EQ(converter.Prepare(), 0);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Push(converter, Bytes(3200, 1)), 0);
  EXPECT_EQ(converter.Unprepare(), 0);
  converter.RemoveListener(&consumer);
}

}  // namespace
}  // namespace ve
