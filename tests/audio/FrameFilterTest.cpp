#include "audio/FrameFilter.h"

#include "AudioTestSupport.h"

namespace ve {
namespace {

using test::Push;

// Bytes counting up from `start` (mod 256), so frames show where they were cut.
std::vector<uint8_t> Bytes(int32_t count, int32_t start) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(start + i);
  return bytes;
}

// Cuts pushed audio into whole frames while prepared, in order, through long gaps that grow
// its store and many pushes that wrap it; a frame is a gap marker exactly when all of it was
// gap. A new Prepare discards what was left over, and the frame size follows the input
// format (20 ms of G.711 is 160 bytes).
TEST(FrameFilterPush, CutsWholeFramesInOrderAcrossGapsAndAWrappingStore) {
  FrameFilter filter;
  test::CaptureCollector frames;
  filter.SetFrameMs(20);
  filter.AsSource()->AddListener(&frames);
  Push(filter, test::MakeBytes(kFormatPcm16, Bytes(640, 0)));  // unprepared: dropped
  EXPECT_EQ(filter.StoredBytes(), 0);
  filter.Prepare();
  std::vector<uint8_t> expected;
  std::vector<bool> gap;
  for (int32_t round = 0; round < 12; ++round) {
    const int32_t gapMs = round % 4 == 1 ? 300 : round % 4 == 3 ? 30 : 0;
    if (gapMs > 0) Push(filter, test::MakeGap(kFormatPcm16, gapMs));
    expected.resize(expected.size() + static_cast<size_t>(gapMs) * 16, 0);
    gap.resize(expected.size(), true);
    const std::vector<uint8_t> audio = Bytes(3000 - 100 * round, round * 37);
    Push(filter, test::MakeBytes(kFormatPcm16, audio));
    expected.insert(expected.end(), audio.begin(), audio.end());
    gap.resize(expected.size(), false);
  }
  size_t gapFrames = 0;
  for (auto at = gap.begin(); at + 320 <= gap.end(); at += 320) gapFrames += std::count(at, at + 320, true) == 320;
  EXPECT_EQ(filter.StoredBytes(), static_cast<int32_t>(gap.size() % 320));
  expected.resize(expected.size() / 320 * 320);
  EXPECT_EQ(test::Int16Bytes(frames.Values()), expected);
  EXPECT_EQ(frames.GapMarkers(), gapFrames);
  filter.Unprepare();
  filter.Prepare();
  Push(filter, test::MakeBytes(kFormatALaw, Bytes(400, 0)));
  EXPECT_EQ(frames.Samples(), expected.size() / 320 + 2);
  EXPECT_EQ(filter.StoredBytes(), 80);
  filter.AsSource()->RemoveListener(&frames);
}

// Unprepared, a pull gives a gap marker of one frame; prepared, it gathers upstream samples
// into whole frames of the set length.
TEST(FrameFilterPull, PullGathersUpstreamSamplesIntoOneFrame) {
  // The counting source gives one 16-bit value per sample: 1, 2, 3, ...
  test::CountingSource source;
  FrameFilter filter;
  filter.SetFrameMs(30);
  Connect(&source, &filter);
  AudioSample* out = nullptr;
  ASSERT_EQ(filter.GiveNextAudioSample(&out, nullptr), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->DataSize(), 0);
  EXPECT_EQ(out->SilenceMs(), 30);
  out->Release();
  filter.Prepare();
  for (int32_t frame = 0; frame < 2; ++frame) {
    ASSERT_EQ(filter.GiveNextAudioSample(&out, nullptr), 0);
    ASSERT_NE(out, nullptr);
    std::vector<int16_t> values = test::Values(out);
    ASSERT_EQ(values.size(), 240u);
    for (int32_t i = 0; i < 240; ++i) ASSERT_EQ(values[i], frame * 240 + i + 1);
    out->Release();
  }
  filter.Unprepare();
  Disconnect(&source, &filter);
}

TEST(FrameFilterPull, OwnThreadStopsWhileUpstreamIsDry) {
  test::CountingSource source;
  source.limit = 3;  // then nothing more
  FrameFilter filter;
  test::RecordingSink sink;
  Connect(&source, &filter);
  Connect(filter.AsSource(), &sink);
  sink.Open();
  filter.Prepare();
  ASSERT_EQ(filter.AsSource()->Start(), 0);
  // The source is dry after its third sample: the thread now pulls in vain.
  for (auto start = std::chrono::steady_clock::now(); source.produced < 3;) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::this_thread::yield();
  }
  EXPECT_EQ(filter.AsSource()->Stop(), 0);
  EXPECT_FALSE(filter.AsSource()->IsRunning());
  filter.Unprepare();
  sink.Close();
  Disconnect(filter.AsSource(), &sink);
  Disconnect(&source, &filter);
}

}  // namespace
}  // namespace ve
