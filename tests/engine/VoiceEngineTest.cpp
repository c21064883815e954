#include "voiceengine/VoiceEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "framework/AudioFilter.h"
#include "framework/AudioSamplePool.h"
#include "rtp/ByteOrder.h"
#include "support/RtpBytes.h"
#include "support/LoopbackSocket.h"
#include "support/RtcpBytes.h"
#include "support/WavWriter.h"
#include "voiceengine/Devices.h"
#include "voiceengine/Extensions.h"

namespace {

using ve::test::Bytes;
using ve::test::FindPart;
using ve::test::LoopbackSocket;

constexpr uint8_t kRr = 201, kSdes = 202, kBye = 203;

// The datagrams of at least `minBytes` that `socket` receives within `ms`, up to the first one
// `done` (when given) accepts.
std::vector<Bytes> Collect(LoopbackSocket& socket, int ms, size_t minBytes = 12,
                           const std::function<bool(const Bytes&)>& done = {}) {
  std::vector<Bytes> got;
  Bytes datagram;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end && !(done && !got.empty() && done(got.back()))) {
    if (socket.Receive(&datagram, 50) && datagram.size() >= minBytes) got.push_back(datagram);
  }
  return got;
}

bool Any(const Bytes&) { return true; }
bool HasBye(const Bytes& compound) { return FindPart(compound, kBye) >= 0; }
uint32_t Ssrc(const Bytes& rtp) { return ve::ReadU32BE(rtp.data() + 8); }

// The first RTP datagram `socket` receives within `ms` (empty when none).
Bytes NextRtp(LoopbackSocket& socket, int ms) {
  const std::vector<Bytes> got = Collect(socket, ms, 12, Any);
  return got.empty() ? Bytes{} : got[0];
}

// One engine with its own loopback sockets, virtual microphone and speaker, and a peer
// socket standing in for the remote party. The sockets come after the remote, which the engine
// must still send RTP and RTCP to.
struct EngineFixture : ::testing::Test {
  VoiceEngine engine;
  LoopbackSocket rtp, rtcp, peerRtp, peerRtcp;
  uint32_t mic = 0, speaker = 0;

  void SetUp() override {
    ASSERT_TRUE(rtp.Valid() && rtcp.Valid() && peerRtp.Valid() && peerRtcp.Valid());
    ASSERT_EQ(voiceengine::AddToneCaptureDevice("test tone", 440.0, 8000, &mic), 0);
    ASSERT_EQ(voiceengine::AddDiscardPlaybackDevice("test speaker", &speaker), 0);
    ASSERT_EQ(engine.Initialize(), 0);
    ASSERT_EQ(engine.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port()), 0);
    ASSERT_EQ(engine.SetSockets(rtp.Handle(), rtcp.Handle()), rtp.Handle());
    engine.SetCaptureVolume(0, 100);
  }
  void TearDown() override {
    engine.Uninitialize();
    voiceengine::RemoveDevice(mic);
    voiceengine::RemoveDevice(speaker);
  }

  // Payload sizes of the RTP datagrams the peer receives within `ms`.
  std::vector<size_t> PayloadSizes(int ms) {
    std::vector<size_t> sizes;
    for (const Bytes& datagram : Collect(peerRtp, ms)) sizes.push_back(datagram.size() - 12);
    return sizes;
  }

  // A 600 Hz tone at 8 kHz; `tag` other than 1 (PCM) labels the same bytes as another coding.
  std::string TempWav(const char* name, size_t samples, uint16_t tag = 1) {
    const std::string path = ::testing::TempDir() + name;
    const auto tone = ve::test::EncodeSamples(ve::test::Tone(600.0, 8000, 0.2, samples), 1, 16);
    ve::test::WriteFile(path, ve::test::BuildWav(ve::test::FormatChunk(ve::test::MakeLinearFormat(tag, 8000, 1, 16)),
                                                 tone));
    return path;
  }

  voiceengine::CallStatistics Stats() {
    voiceengine::CallStatistics stats;
    EXPECT_EQ(voiceengine::GetStatistics(&engine, &stats), 0);
    return stats;
  }

  // Whether `call` (which must return 0) restarted the running receive side: a restart begins
  // a new playout, whose count of silent blocks played starts again from 0.
  bool RestartsReceiving(const std::function<int32_t()>& call) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Stats().playoutGapMarkers < 5 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const uint64_t before = Stats().playoutGapMarkers;
    EXPECT_GE(before, 5u) << "the receive side plays silence";
    EXPECT_EQ(call(), 0);
    return Stats().playoutGapMarkers < before;
  }

  // The RTP packets the peer receives within `ms` after 100 ms of draining, each checked for
  // payload type and size; their count.
  size_t SentPackets(int ms, int payloadType, size_t payloadBytes) {
    PayloadSizes(100);
    const std::vector<Bytes> sent = Collect(peerRtp, ms);
    for (const Bytes& datagram : sent) {
      EXPECT_EQ(datagram[1] & 0x7F, payloadType);
      EXPECT_EQ(datagram.size() - 12, payloadBytes);
    }
    return sent.size();
  }
};

// The tone samples (|value| > 1000) of the 16-bit recording at `path`, or -1 while the
// recording is not complete (its device not closed).
int64_t RecordedToneSamples(const std::string& path) {
  const Bytes wav = ve::test::ReadFile(path);
  if (wav.size() < 44) return -1;
  const uint32_t dataBytes = wav[40] | wav[41] << 8 | wav[42] << 16 | uint32_t{wav[43]} << 24;
  if (dataBytes != wav.size() - 44) return -1;
  const std::vector<int16_t> pcm = ve::test::Int16Values(wav.data() + 44, wav.size() - 44);
  return std::count_if(pcm.begin(), pcm.end(), [](int16_t v) { return v > 1000 || v < -1000; });
}

// Runs `body` on a thread of its own and fails when it has not ended within `seconds`; a
// deadlock then ends the test program instead of hanging it.
void EndsWithin(int seconds, const std::function<void()>& body) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([body, done] {
    body();
    done->set_value();
  }).detach();
  if (ended.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    std::fprintf(stderr, "still running after %d s: deadlocked\n", seconds);
    std::fflush(stderr);
    std::abort();
  }
}

// Calls before Initialize, a second Initialize, refused sockets and remotes, codec switches, and
// engines initialised, uninitialised and initialised again.
TEST(VoiceEngineLifecycle, InitializeCodecsSocketsAndRemote) {
  VoiceEngine engine;
  EXPECT_EQ(engine.Uninitialize(), 0);
  EXPECT_EQ(engine.GetEncoder(), nullptr);
  EXPECT_EQ(engine.Reserved1020(7), 0);
  EXPECT_EQ(engine.Reserved1022(), 0);
  EXPECT_EQ(engine.Reserved1023(), 0);
  EXPECT_EQ(engine.Reserved1029(), 0);
  EXPECT_EQ(engine.Reserved1030(), 0);
  ASSERT_EQ(engine.Initialize(), 0);
  ve::AudioFilter* g729Encoder = engine.GetEncoder();
  ASSERT_NE(g729Encoder, nullptr) << "G.729 is the default codec";
  EXPECT_EQ(engine.Initialize(), 0);
  EXPECT_EQ(engine.GetEncoder(), g729Encoder) << "a second Initialize creates nothing";
  EXPECT_EQ(engine.SetSockets(0, 5), -1);
  EXPECT_EQ(engine.SetSockets(3, -1), -1);
  EXPECT_EQ(engine.SetPlaybackVolume(12345, 50), 0);

  EXPECT_EQ(engine.SetRemote("127.0.0.1", 4000, 4001), 0);
  EXPECT_LT(engine.SetRemote("not-an-address", 4000, 4001), 0);
  EXPECT_LT(engine.SetRemote(std::string(60, '1').c_str(), 4000, 4001), 0);
  EXPECT_LT(engine.SetRemote(nullptr, 4000, 4001), 0);

  // A codec switch keeps the filters made so far and adds new ones.
  ve::AudioFilter* g729Decoder = engine.GetDecoder();
  EXPECT_EQ(engine.SetCodec(1), 0);
  ve::AudioFilter* g723Decoder = engine.GetDecoder();
  EXPECT_NE(g723Decoder, nullptr);
  EXPECT_NE(g723Decoder, g729Decoder);
  engine.SetCodec(2);
  EXPECT_EQ(engine.GetDecoder(), g729Decoder) << "switching back reuses the existing filter";
  engine.SetCodec(7);
  EXPECT_EQ(engine.GetDecoder(), nullptr);
  EXPECT_EQ(engine.GetEncoder(), nullptr);
  EXPECT_EQ(engine.Uninitialize(), 0);
  EXPECT_EQ(engine.Uninitialize(), 0);


  // Engines initialised together draw different streams, from the whole 32-bit range; their
  // destructors uninitialise them.
  VoiceEngine engines[16];
  std::vector<uint32_t> ssrcs;
  for (VoiceEngine& one : engines) {
    ASSERT_EQ(one.Initialize(), 0);
    ASSERT_EQ(one.Uninitialize(), 0);
    ASSERT_EQ(one.Initialize(), 0);
  }
  for (VoiceEngine& one : engines) {
    voiceengine::CallStatistics stats;
    ASSERT_EQ(voiceengine::GetStatistics(&one, &stats), 0);
    ssrcs.push_back(stats.localSsrc);
  }
  std::sort(ssrcs.begin(), ssrcs.end());
  EXPECT_EQ(std::adjacent_find(ssrcs.begin(), ssrcs.end()), ssrcs.end());
  EXPECT_GT(ssrcs.back(), 0x8000u) << "SSRCs use the whole 32-bit range";
}

TEST_F(EngineFixture, SendingTwiceAndReconfiguringWhileSendingRestartsWithTheCodecBlock) {
  // Even before any configuration the capture block is the codec's: G.729 sends 50 ms.
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  EXPECT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  auto sizes = PayloadSizes(400);
  ASSERT_GE(sizes.size(), 4u);
  for (size_t size : sizes) EXPECT_EQ(size, 50u) << "G.729: a 50 ms block is five 10-byte frames";

  // Configuring while sending restarts the chain with the same block.
  ASSERT_EQ(engine.ConfigureSend(0, 0, 0, 0, 0, 0), 0);
  PayloadSizes(100);  // drain what the old configuration sent
  sizes = PayloadSizes(400);
  ASSERT_GE(sizes.size(), 4u);
  for (size_t size : sizes) EXPECT_EQ(size, 50u);

  // G.711 during the call: the chain restarts on it with 20 ms blocks of A-law, one encoder
  // linked (no G.729 packets, none doubled), also after the next stop and start.
  ASSERT_EQ(engine.SetCodec(0), 0);
  EXPECT_LE(SentPackets(300, 8, 160), 17u);
  ASSERT_EQ(engine.StopSending(), 0);
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  const size_t afterRestart = SentPackets(300, 8, 160);
  EXPECT_GE(afterRestart, 5u);
  EXPECT_LE(afterRestart, 17u);
  EXPECT_EQ(engine.StopSending(), 0);
  EXPECT_EQ(engine.StopSending(), 0);
  PayloadSizes(100);
  EXPECT_TRUE(PayloadSizes(200).empty()) << "nothing is sent once sending stopped";
}

TEST_F(EngineFixture, SilenceSendsOneComfortNoisePacketThenNothing) {
  ASSERT_EQ(engine.ConfigureSend(0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  ASSERT_GE(PayloadSizes(300).size(), 2u) << "the tone is sent as voice";
  engine.SetCaptureVolume(0, 0);  // level 0 gates every buffer into silence
  std::vector<int> types;
  for (const Bytes& datagram : Collect(peerRtp, 800)) types.push_back(datagram[1] & 0x7F);
  EXPECT_EQ(engine.StopSending(), 0);
  // Voice still in the device queue may come first; then one comfort-noise packet ends it.
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(types.back(), 13) << "the last packet is the comfort-noise packet";
  EXPECT_EQ(std::count(types.begin(), types.end(), 13), 1);
}

TEST_F(EngineFixture, ReceiveRestartsOnlyForANewKindPortOrCodec) {
  ASSERT_EQ(engine.ConfigureReceive(1, 0, 0, 0), 0);
  ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  const int32_t device = static_cast<int32_t>(speaker);
  EXPECT_FALSE(RestartsReceiving([&] { return engine.StartReceiving(device); }));
  EXPECT_FALSE(RestartsReceiving([&] { return engine.ConfigureReceive(1, 0, 5, 5); }));
  EXPECT_TRUE(RestartsReceiving([&] { return engine.ConfigureReceive(9, 0, 0, 1); }));
  EXPECT_FALSE(RestartsReceiving([&] { return engine.ConfigureReceive(9, 0, 5, 1); }));
  EXPECT_TRUE(RestartsReceiving([&] { return engine.ConfigureReceive(9, 0, 0, 2); })) << "kind 9, new option 2";
  EXPECT_TRUE(RestartsReceiving([&] { return engine.SetLocalReceivePort(5004); }));
  EXPECT_FALSE(RestartsReceiving([&] { return engine.SetLocalReceivePort(5004); })) << "the same port";
  EXPECT_TRUE(RestartsReceiving([&] { return engine.SetCodec(0); }));
  EXPECT_FALSE(RestartsReceiving([&] { return engine.SetCodec(0); })) << "the same codec";
  EXPECT_EQ(engine.StopReceiving(), 0);
  EXPECT_EQ(engine.StopReceiving(), 0);
}

TEST_F(EngineFixture, FileIdsAndFailureCodes) {
  std::string wav = TempWav("engine-short.wav", 1600);  // 200 ms
  const std::string missing = "/nonexistent/file.wav";
  // A play that fails gives the id 0.
  auto playFails = [&](const std::string& path, uint32_t device, int32_t code) {
    int32_t failed = -5;
    EXPECT_EQ(engine.PlayFile(path.c_str(), 1, static_cast<int32_t>(device), 100, &failed), code) << path;
    EXPECT_EQ(failed, 0) << path;
  };
  playFails(missing, speaker, -20);
  int32_t id = -5;
  EXPECT_EQ(engine.SendFile(wav.c_str(), 1, 100, &id), 0);
  EXPECT_EQ(id, -5) << "SendFile while not sending leaves the id alone";

  // A file that opens but cannot be converted is refused like a missing one and opens nothing.
  const std::string unplayable = TempWav("engine-unplayable.wav", 1600, 0x55);
  const std::string recording = ::testing::TempDir() + "engine-unplayable-out.wav";
  std::remove(recording.c_str());
  uint32_t recorder = 0;
  ASSERT_EQ(voiceengine::AddWavFilePlaybackDevice("recorder", recording.c_str(), &recorder), 0);
  playFails(unplayable, recorder, -20);
  EXPECT_FALSE(std::ifstream(recording).good()) << "the speaker was opened";
  voiceengine::RemoveDevice(recorder);

  // Ids never repeat, not even when another engine in the process initialises.
  int32_t first = 0, second = 0, others = 0;
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 1, static_cast<int32_t>(speaker), 100, &first), 0);
  EXPECT_GE(first, 1);
  VoiceEngine other;
  ASSERT_EQ(other.Initialize(), 0);
  ASSERT_EQ(other.PlayFile(wav.c_str(), 1, static_cast<int32_t>(speaker), 100, &others), 0);
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 1, static_cast<int32_t>(speaker), 100, &second), 0);
  EXPECT_GT(second, first);
  EXPECT_NE(others, first);
  EXPECT_NE(others, second);
  other.Uninitialize();

  ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  playFails(missing, speaker, -10);
  playFails(unplayable, speaker, -10);
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  int32_t sent = 0, played = 0;
  ASSERT_EQ(engine.SendFile(wav.c_str(), 0, 100, &sent), 0);
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 0, static_cast<int32_t>(speaker), 100, &played), 0);
  EXPECT_GT(sent, second);
  EXPECT_GT(played, sent);
  // Each stop only acts on its own side. With the microphone muted, packets go out only while
  // the sent file plays; the speaker's level shows the played one.
  engine.SetCaptureVolume(0, 0);
  auto sending = [&] {
    PayloadSizes(100);
    return PayloadSizes(300).size() >= 5;
  };
  auto playing = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return Stats().outputPeak > 1000;
  };
  EXPECT_EQ(engine.StopSendFile(played), 0);
  EXPECT_EQ(engine.StopPlayFile(sent), 0);
  EXPECT_TRUE(sending());
  EXPECT_TRUE(playing());
  EXPECT_EQ(engine.StopFiles(true), 0);
  EXPECT_FALSE(sending());
  EXPECT_TRUE(playing());
  EXPECT_EQ(engine.StopPlayFile(played), 0);
  EXPECT_FALSE(playing());
  EXPECT_EQ(engine.StopSending(), 0);
  EXPECT_EQ(engine.StopReceiving(), 0);
  std::remove(wav.c_str());
  std::remove(unplayable.c_str());
}

TEST_F(EngineFixture, LocalFileEndsByItselfAndLoopsUntilStopped) {
  std::string wav = TempWav("engine-end.wav", 800);  // 100 ms
  const std::string recording = ::testing::TempDir() + "engine-end-out.wav";
  uint32_t recorder = 0;
  ASSERT_EQ(voiceengine::AddWavFilePlaybackDevice("recorder", recording.c_str(), &recorder), 0);
  const int32_t device = static_cast<int32_t>(recorder);
  int32_t id = 0;
  // The play ends by itself: its speaker is closed (an open one records every block it plays),
  // having played the file's tone once, to its end.
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 1, device, 100, &id), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const int64_t tone = RecordedToneSamples(recording);
  EXPECT_GE(tone, 0) << "the play ended by itself";
  EXPECT_GE(tone, 760) << "the end of the file was heard";
  EXPECT_LE(tone, 800);
  EXPECT_EQ(engine.CleanupFinishedFiles(), 0);
  // A looping play goes on until it is stopped.
  int32_t looping = 0;
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 0, device, 100, &looping), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // five times the file
  EXPECT_EQ(RecordedToneSamples(recording), -1) << "still playing";
  EXPECT_EQ(engine.SetFileVolume(looping, 30), 0);
  EXPECT_EQ(engine.StopPlayFile(looping), 0);
  EXPECT_GT(RecordedToneSamples(recording), 2400) << "the file looped";

  // Files ending by themselves while the host stops plays, starts and stops a call and, from
  // another thread, changes levels, sockets and codec: nothing deadlocks, and every call
  // serialises with the others (which a thread checker sees).
  EndsWithin(60, [&] {
    std::thread levels([&] {
      for (int i = 0; i < 100; ++i) {
        engine.SetCaptureVolume(0, i);
        engine.SetPlaybackVolume(device, 50);
        engine.SetSockets(rtp.Handle(), rtcp.Handle());
        engine.SetCodec(i % 2 == 0 ? 0 : 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    for (int round = 0; round < 20; ++round) {
      int32_t once = 0;
      engine.PlayFile(wav.c_str(), 1, device, 100, &once);
      round % 2 == 0 ? engine.StartReceiving(static_cast<int32_t>(speaker)) : engine.StopReceiving();
      std::this_thread::sleep_for(std::chrono::milliseconds(80 + round % 5 * 10));
      engine.StopPlayFile(once);
    }
    levels.join();
    engine.Uninitialize();
  });
  voiceengine::RemoveDevice(recorder);
  std::remove(wav.c_str());
  std::remove(recording.c_str());
}

TEST_F(EngineFixture, RepeatedStartStopCyclesKeepThePoolFlat) {
  ASSERT_EQ(engine.ConfigureSend(0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(engine.ConfigureReceive(0, 0, 0, 0), 0);
  int32_t createdAfterFirst = -1;
  for (int cycle = 0; cycle < 40; ++cycle) {
    // Both orders, so RTCP moves between sender reports, receiver reports and BYE while the
    // other direction runs.
    if (cycle % 2 == 0) {
      ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
      ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
    } else {
      ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
      ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
    }
    ASSERT_EQ(engine.StopSending(), 0);
    engine.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port());
    ASSERT_EQ(engine.StopReceiving(), 0);
    if (cycle == 0) createdAfterFirst = ve::AudioSamplePool::Instance()->CreatedCount();
  }
  EXPECT_LE(ve::AudioSamplePool::Instance()->CreatedCount(), createdAfterFirst + 16);
}

// A stop and start of sending continues the same stream; the same remote again keeps it; a new
// remote starts a new one.
TEST_F(EngineFixture, StreamGoesOnAcrossStopAndStartAndANewRemoteStartsANewOne) {
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  const Bytes first = NextRtp(peerRtp, 1000);
  ASSERT_FALSE(first.empty());
  ASSERT_EQ(engine.StopSending(), 0);
  Bytes last = first;
  for (auto& datagram : peerRtp.ReceiveAll(100, 50)) {
    if (datagram.size() >= 12) last = datagram;
  }
  engine.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port());  // the same peer
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  const Bytes resumed = NextRtp(peerRtp, 1000);
  ASSERT_FALSE(resumed.empty());
  EXPECT_EQ(Ssrc(resumed), Ssrc(first));
  EXPECT_EQ(ve::ReadU16BE(&resumed[2]), static_cast<uint16_t>(ve::ReadU16BE(&last[2]) + 1));
  EXPECT_TRUE((resumed[1] & 0x80) != 0) << "a new talk spurt starts with the marker bit";

  LoopbackSocket otherRtp;
  engine.SetRemote("127.0.0.1", otherRtp.Port(), peerRtcp.Port());
  const Bytes moved = NextRtp(otherRtp, 1000);
  ASSERT_FALSE(moved.empty());
  EXPECT_NE(Ssrc(moved), Ssrc(first));
  EXPECT_EQ(engine.StopSending(), 0);
}

// A host's CallStatistics may be shorter (an older header) or longer (a newer one) than the
// library's: only what its size covers is written, its size stays, and a size below the first
// released structure is refused.
TEST(VoiceEngineLifecycle, StatisticsWriteOnlyWhatTheCallersSizeCovers) {
  using voiceengine::CallStatistics;
  VoiceEngine engine;
  ASSERT_EQ(engine.Initialize(), 0);
  CallStatistics whole;
  ASSERT_EQ(voiceengine::GetStatistics(&engine, &whole), 0);

  constexpr size_t kFirst = offsetof(CallStatistics, peerJitterMs) + sizeof(double);
  constexpr uint8_t kUntouched = 0xA5;
  alignas(CallStatistics) std::array<uint8_t, sizeof(CallStatistics) + 64> bytes;
  auto read = [&](uint32_t size) {
    bytes.fill(kUntouched);
    std::memcpy(bytes.data(), &size, sizeof size);
    return voiceengine::GetStatistics(&engine, reinterpret_cast<CallStatistics*>(bytes.data()));
  };
  auto untouchedFrom = [&](size_t offset) {
    return std::all_of(bytes.begin() + offset, bytes.end(), [](uint8_t b) { return b == kUntouched; });
  };
  auto field = [&](size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
  };

  EXPECT_EQ(read(kFirst - 1), -1);
  EXPECT_TRUE(untouchedFrom(sizeof(uint32_t)));
  ASSERT_EQ(read(kFirst), 0);
  EXPECT_EQ(field(offsetof(CallStatistics, localSsrc)), whole.localSsrc);
  EXPECT_TRUE(untouchedFrom(kFirst)) << "nothing written past the caller's structure";
  ASSERT_EQ(read(sizeof(CallStatistics) + 64), 0);
  EXPECT_EQ(field(0), sizeof(CallStatistics) + 64);
  EXPECT_EQ(field(offsetof(CallStatistics, localSsrc)), whole.localSsrc);
  EXPECT_TRUE(untouchedFrom(sizeof(CallStatistics))) << "a newer host keeps its own values past ours";
}

// Receiving only: RTCP still runs, with receiver reports, and says BYE when the last direction
// stops.
TEST_F(EngineFixture, ReceiverReportsWithoutSendingAndByeAtTheEnd) {
  ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  // The first report comes 1 to 3.1 s after the start.
  const std::vector<Bytes> reports = Collect(peerRtcp, 4000, 8, Any);
  ASSERT_EQ(reports.size(), 1u) << "a report arrives while only receiving";
  EXPECT_EQ(reports[0][1], kRr) << "a receiver report: nothing was sent";
  EXPECT_GE(FindPart(reports[0], kSdes), 0) << "with the CNAME";
  ASSERT_EQ(engine.StopReceiving(), 0);
  const std::vector<Bytes> last = Collect(peerRtcp, 1000, 8, HasBye);
  ASSERT_FALSE(last.empty());
  EXPECT_TRUE(HasBye(last.back())) << "BYE once no direction runs";
}

// The peer's RTP carries our SSRC: BYE for it, and the stream goes on with a new one.
TEST_F(EngineFixture, SsrcCollisionGetsAByeAndANewSsrc) {
  ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  const Bytes ours = NextRtp(peerRtp, 1000);
  ASSERT_FALSE(ours.empty());
  const uint32_t old = Ssrc(ours);
  Bytes clash(12 + 160, 0xD5);
  // Two packets in sequence: the peer's source has to prove itself before anything it sends
  // counts, so a stranger cannot make us change SSRC.
  for (uint16_t sequence : {0, 1}) {
    ve::test::WriteRtpHeader(clash.data(), 8, sequence, 160u * sequence, old);
    ASSERT_TRUE(peerRtp.SendTo(rtp.Port(), clash));
  }
  const std::vector<Bytes> bye = Collect(peerRtcp, 2000, 8, HasBye);
  ASSERT_FALSE(bye.empty());
  ASSERT_TRUE(HasBye(bye.back()));
  EXPECT_EQ(ve::ReadU32BE(&bye.back()[FindPart(bye.back(), kBye) + 4]), old) << "BYE for the old SSRC";
  // Packets sent before the BYE may still be queued; the stream moves on within a second.
  const std::vector<Bytes> after = Collect(peerRtp, 1000, 12, [&](const Bytes& d) { return Ssrc(d) != old; });
  EXPECT_TRUE(!after.empty() && Ssrc(after.back()) != old) << "RTP goes on with a new SSRC";
  EXPECT_EQ(engine.StopSending(), 0);
  EXPECT_EQ(engine.StopReceiving(), 0);
}

// Two engines in one process call each other (the fixture's through the peer sockets, with the
// same devices): coder, detector and playout state are per engine, so both directions carry
// audio at once.
TEST_F(EngineFixture, TwoEnginesInOneProcessCallEachOther) {
  VoiceEngine other;
  ASSERT_EQ(other.Initialize(), 0);
  other.SetSockets(peerRtp.Handle(), peerRtcp.Handle());
  other.SetRemote("127.0.0.1", rtp.Port(), rtcp.Port());
  other.SetCaptureVolume(0, 100);
  for (VoiceEngine* one : {&engine, &other}) {
    one->ConfigureReceive(0, 0, 0, 0);
    one->ConfigureSend(0, 0, 0, 0, 0, 0);
    ASSERT_EQ(one->StartReceiving(static_cast<int32_t>(speaker)), 0);
    ASSERT_EQ(one->StartSending(static_cast<int32_t>(mic)), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (VoiceEngine* one : {&engine, &other}) {
    voiceengine::CallStatistics stats;
    ASSERT_EQ(voiceengine::GetStatistics(one, &stats), 0);
    EXPECT_GT(stats.rtpPacketsSent, 15u);
    EXPECT_GT(stats.rtpPacketsReceived, 15u);
    EXPECT_GT(stats.outputPeak, 1000) << "the peer's tone is played";
  }
  for (VoiceEngine* one : {&engine, &other}) {
    EXPECT_EQ(one->StopSending(), 0);
    EXPECT_EQ(one->StopReceiving(), 0);
  }
  // One engine going away leaves the other (and the shared pool) working.
  other.Uninitialize();
  ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  EXPECT_EQ(engine.StopReceiving(), 0);
}

}  // namespace
