#include "audio/WavFileSource.h"

#include "AudioTestSupport.h"

#include <cstdio>
#include <filesystem>

#include "audio/FileSourceListener.h"
#include "platform/Event.h"

namespace ve {
namespace {

using test::Bytes;
using test::TempFile;

// Logs the file events; `events` is read only after `ended` is set by the end event.
class EventListener : public FileSourceListener {
 public:
  void OnFileStarted(WavFileSource*, const char* name) override { events.push_back(std::string("started ") + name); }
  void OnFileEnded(WavFileSource*, const char* name) override {
    events.push_back(std::string("ended ") + name);
    ended.Set();
  }
  std::vector<std::string> events;
  platform::Event ended;
};

// 1000 bytes of 8 kHz 16-bit mono audio, every byte telling its position, followed by a chunk
// that must not be played.
Bytes Audio1000() {
  Bytes audio(1000);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return audio;
}

Bytes Pcm8kFile(const Bytes& audio) {
  return test::BuildRiff({{"fmt ", test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16), 16)},
                          {"data", audio},
                          {"LIST", Bytes(600, 0x55)}});
}

// Pulls one sample as a downstream sink would; returns the result and the bytes.
int32_t Pull(WavFileSource& source, Bytes* bytes) {
  AudioSample* sample = nullptr;
  int32_t result = source.GiveNextAudioSample(&sample, nullptr);
  bytes->clear();
  if (sample != nullptr) {
    bytes->assign(sample->Data(), sample->Data() + sample->DataSize());
    sample->Release();
  }
  return result;
}

TEST(WavFileSource, PlaysWholeFramesThenTheShortLastOneThenEnds) {
  Bytes audio = Audio1000();
  TempFile file(Pcm8kFile(audio));
  WavFileSource source;
  test::CaptureCollector capture;
  EventListener events;
  source.AddListener(&capture);
  source.AddFileListener(&events);
  source.AddFileListener(&events);  // listed once only

  ASSERT_EQ(source.OpenFile(file.Name()), 0);
  WAVEFORMATEX format{};
  format.cbSize = 0x7777;
  source.GetFormat(&format);
  EXPECT_EQ(format.cbSize, 0);  // the 16-byte chunk is completed with cbSize 0

  ASSERT_EQ(source.Start(), 0);
  ASSERT_TRUE(events.ended.Wait(5000));
  source.Stop();

  // Three 20 ms frames and the last 40 bytes; the chunk after `data` is not audio.
  EXPECT_EQ(capture.Samples(), 4u);
  EXPECT_EQ(test::Int16Bytes(capture.Values()), audio);
  EXPECT_EQ(events.events, (std::vector<std::string>{std::string("started ") + file.Name(),
                                                std::string("ended ") + file.Name()}));
  EXPECT_FALSE(source.IsPlaying());
  // The end closed the file: nothing is held any more.
  EXPECT_EQ(source.GetFormatBytes(nullptr, 0), 0u);
}

// A name of up to 127 bytes opens; the file can't change while it is read; a looping file
// wraps without a gap.
TEST(WavFileSource, NameLengthAndStateAreCheckedAndLoopingWrapsWithoutAGap) {
  const Bytes audio = Audio1000();
  std::string dir = std::filesystem::temp_directory_path().string() + "/";
  std::string name127 = dir + std::string(127 - dir.size() - 4, 'n') + ".wav";
  ASSERT_EQ(name127.size(), 127u);
  ASSERT_TRUE(test::WriteFile(name127, Pcm8kFile(audio)));
  WavFileSource source;
  EXPECT_EQ(source.OpenFile(name127.c_str()), 0);
  std::remove(name127.c_str());
  EXPECT_EQ(source.OpenFile((name127 + "x").c_str()), -80);
  EXPECT_EQ(WavFileSource().Open(), -20) << "no file";
  source.SetLoop();
  ASSERT_EQ(source.Open(), 0);
  Bytes played, bytes;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Pull(source, &bytes), 0);
    played.insert(played.end(), bytes.begin(), bytes.end());
  }
  Bytes expected = audio;
  expected.insert(expected.end(), audio.begin(), audio.begin() + 600);
  EXPECT_EQ(played, expected);
  EXPECT_EQ(source.OpenFile(name127.c_str()), -70);  // not while it is being read
  EXPECT_EQ(source.Close(), 0);
  TempFile shorter(Pcm8kFile(audio));
  EXPECT_EQ(source.OpenFile(shorter.Name()), 0) << "closed: another file, of a shorter name, opens";
}

TEST(WavFileSource, BadFilesGetTheirCodes) {
  Bytes pcm16 = test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16));
  Bytes audio(400, 1);
  struct Case {
    const char* what;
    Bytes file;
    int32_t code;
  };
  Bytes notRiff = test::BuildWav(pcm16, audio);
  notRiff[0] = 'X';
  Bytes truncatedFmt = test::BuildWav(pcm16, audio);
  truncatedFmt.resize(12 + 8 + 10);
  const Case cases[] = {
      {"not RIFF", notRiff, -20},
      {"empty file", {}, -20},
      {"no fmt", test::BuildRiff({{"data", audio}}), -30},
      {"fmt cut short by the file's end", truncatedFmt, -40},
      {"fmt larger than the file", test::BuildRiff({{"fmt ", pcm16, 0x7FFFFFF0}, {"data", audio}}), -40},
      {"fmt of 12 bytes", test::BuildRiff({{"fmt ", Bytes(pcm16.begin(), pcm16.begin() + 12)}, {"data", audio}}), -40},
      {"no data", test::BuildRiff({{"fmt ", pcm16}, {"LIST", audio}}), -50},
      {"data before fmt", test::BuildRiff({{"data", audio}, {"fmt ", pcm16}}), -50},
      {"empty data", test::BuildRiff({{"fmt ", pcm16}, {"data", {}}}), -60},
  };
  WavFileSource source;
  EXPECT_EQ(source.OpenFile("/nonexistent/missing.wav"), -10);
  for (const Case& c : cases) {
    TempFile file(c.file);
    EXPECT_EQ(source.OpenFile(file.Name()), c.code) << c.what;
    EXPECT_EQ(source.GetFormatBytes(nullptr, 0), 0u) << c.what;  // nothing kept on failure
  }
}

TEST(WavFileSource, LyingOrUnusableFormatsEndThePlayInsteadOfSpinning) {
  Bytes audio(700, 3);
  Bytes pcm16 = test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 16));
  WAVEFORMATEX zeroRate = test::MakeLinearFormat(WAVE_FORMAT_PCM, 0, 1, 16);
  WAVEFORMATEX tooBig = test::MakeLinearFormat(WAVE_FORMAT_PCM, 44100, 2, 16);  // 3528-byte frames
  struct Case {
    const char* what;
    Bytes file;
    bool loop;
    std::vector<int32_t> results;
  };
  const Case cases[] = {
      {"zero byte rate", test::BuildWav(test::FormatChunk(zeroRate), audio), false, {-20}},
      {"frame above a sample's capacity", test::BuildWav(test::FormatChunk(tooBig), audio), false, {-20}},
      // The data chunk claims more than the file holds: play what is there, then end.
      {"data size beyond the file", test::BuildRiff({{"fmt ", pcm16}, {"data", audio, 1u << 30}}), false,
       {0, 0, 0, -30}},
      {"looping over a data chunk that lies about its size", test::BuildRiff({{"fmt ", pcm16}, {"data", {}, 1000}}),
       true, {-40}},
  };
  for (const Case& c : cases) {
    TempFile file(c.file);
    WavFileSource source;
    ASSERT_EQ(source.OpenFile(file.Name()), 0) << c.what;
    if (c.loop) source.SetLoop();
    ASSERT_EQ(source.Open(), 0) << c.what;
    Bytes bytes;
    std::vector<int32_t> results;
    for (size_t i = 0; i < c.results.size(); ++i) results.push_back(Pull(source, &bytes));
    EXPECT_EQ(results, c.results) << c.what;
    source.Close();
  }
}

// An extensible wrapper is described only by the whole `fmt ` chunk, which is handed on as it
// is; frames are 20 ms of the file's own format.
TEST(WavFileSource, KeepsTheWholeFormatChunkAndCutsFramesOfItsRate) {
  Bytes chunk = test::ExtensibleFormatChunk(WAVE_FORMAT_PCM, 16000, 2, 16, 16);
  TempFile file(test::BuildWav(chunk, test::EncodeSamples(test::Tone(1000, 16000, 0.5, 1600, 2), WAVE_FORMAT_PCM, 16)));
  WavFileSource source;
  ASSERT_EQ(source.OpenFile(file.Name()), 0);
  uint8_t format[64];
  uint32_t size = source.GetFormatBytes(format, sizeof(format));
  EXPECT_EQ(Bytes(format, format + std::min<uint32_t>(size, sizeof(format))), chunk);
  ASSERT_EQ(source.Open(), 0);
  Bytes bytes;
  ASSERT_EQ(Pull(source, &bytes), 0);
  EXPECT_EQ(bytes.size(), 1280u);
  source.Close();
}

}  // namespace
}  // namespace ve
