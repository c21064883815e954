#include "voiceengine/VoiceEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "framework/AudioFilter.h"
#include "framework/AudioSamplePool.h"
#include "support/LoopbackSocket.h"
#include "support/WavWriter.h"
#include "voiceengine/Devices.h"
#include "voiceengine/Extensions.h"

namespace {

using ve::test::LoopbackSocket;

// One engine with its own loopback sockets, virtual microphone and speaker, and a peer
// socket standing in for the remote party.
struct EngineFixture : ::testing::Test {
  VoiceEngine engine;
  LoopbackSocket rtp, rtcp, peerRtp, peerRtcp;
  uint32_t mic = 0, speaker = 0;

  void SetUp() override {
    ASSERT_TRUE(rtp.Valid() && rtcp.Valid() && peerRtp.Valid() && peerRtcp.Valid());
    ASSERT_EQ(voiceengine::AddToneCaptureDevice("test tone", 440.0, 8000, &mic), 0);
    ASSERT_EQ(voiceengine::AddDiscardPlaybackDevice("test speaker", &speaker), 0);
    ASSERT_EQ(engine.Initialize(), 0);
    ASSERT_EQ(engine.SetSockets(rtp.Handle(), rtcp.Handle()), rtp.Handle());
    ASSERT_EQ(engine.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port()), 0);
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
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::vector<uint8_t> datagram;
    while (std::chrono::steady_clock::now() < end) {
      if (peerRtp.Receive(&datagram, 50) && datagram.size() >= 12) sizes.push_back(datagram.size() - 12);
    }
    return sizes;
  }

  std::string TempWav(const char* name, size_t samples) {
    std::string path = ::testing::TempDir() + name;
    auto bytes = ve::test::BuildWav(ve::test::FormatChunk(ve::test::MakeLinearFormat(1, 8000, 1, 16)),
                                    ve::test::EncodeSamples(ve::test::Tone(600.0, 8000, 0.2, samples), 1, 16));
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
  }
};

TEST(VoiceEngineLifecycle, InitializeTwiceUninitializeNeverInitializedAndReserved) {
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
  EXPECT_EQ(engine.Uninitialize(), 0);
  EXPECT_EQ(engine.Uninitialize(), 0);
}

TEST(VoiceEngineLifecycle, SetCodecKeepsFiltersAndAddsNewOnes) {
  VoiceEngine engine;
  engine.Initialize();
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
}

TEST(VoiceEngineLifecycle, RemoteHostIsBoundedAndParsed) {
  VoiceEngine engine;
  engine.Initialize();
  EXPECT_EQ(engine.SetRemote("127.0.0.1", 4000, 4001), 0);
  EXPECT_LT(engine.SetRemote("not-an-address", 4000, 4001), 0);
  EXPECT_LT(engine.SetRemote(std::string(60, '1').c_str(), 4000, 4001), 0);
  EXPECT_LT(engine.SetRemote(nullptr, 4000, 4001), 0);
}

TEST_F(EngineFixture, SendingTwiceAndReconfiguringWhileSendingRestartsWithTheCodecBlock) {
  // Before any configuration the capture block is 20 ms: two G.729 frames per packet.
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  EXPECT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  auto sizes = PayloadSizes(300);
  ASSERT_GE(sizes.size(), 5u);
  for (size_t size : sizes) EXPECT_EQ(size, 20u);

  // Configuring while sending restarts the chain with the codec's 50 ms block.
  ASSERT_EQ(engine.ConfigureSend(0, 0, 0, 0, 0, 0), 0);
  PayloadSizes(100);  // drain what the old configuration sent
  sizes = PayloadSizes(400);
  ASSERT_GE(sizes.size(), 4u);
  for (size_t size : sizes) EXPECT_EQ(size, 50u) << "G.729: a 50 ms block is five 10-byte frames";

  // G.711 for the next call: 20 ms blocks of A-law.
  ASSERT_EQ(engine.StopSending(), 0);
  engine.SetCodec(0);
  ASSERT_EQ(engine.ConfigureSend(0, 0, 0, 0, 0, 0), 0);
  engine.SetRemote("127.0.0.1", peerRtp.Port(), peerRtcp.Port());
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  PayloadSizes(100);
  sizes = PayloadSizes(300);
  ASSERT_GE(sizes.size(), 5u);
  for (size_t size : sizes) EXPECT_EQ(size, 160u);
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
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
  std::vector<uint8_t> datagram;
  while (std::chrono::steady_clock::now() < end) {
    if (peerRtp.Receive(&datagram, 50) && datagram.size() >= 12) types.push_back(datagram[1] & 0x7F);
  }
  EXPECT_EQ(engine.StopSending(), 0);
  // Voice still in the device queue may come first; then one comfort-noise packet ends it.
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(types.back(), 13) << "the last packet is the comfort-noise packet";
  EXPECT_EQ(std::count(types.begin(), types.end(), 13), 1);
}

TEST_F(EngineFixture, ConfigureReceiveRestartsOnlyForANewKind) {
  ASSERT_EQ(engine.ConfigureReceive(1, 0, 0, 0), 0);
  ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  EXPECT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  EXPECT_EQ(engine.ConfigureReceive(1, 0, 5, 5), 0);
  EXPECT_EQ(engine.ConfigureReceive(9, 0, 0, 1), 0);
  EXPECT_EQ(engine.ConfigureReceive(9, 0, 0, 2), 0) << "kind 9 with another option 2 restarts";
  EXPECT_EQ(engine.StopReceiving(), 0);
  EXPECT_EQ(engine.StopReceiving(), 0);
}

TEST_F(EngineFixture, FileIdsAndFailureCodes) {
  std::string wav = TempWav("engine-short.wav", 1600);  // 200 ms
  int32_t id = -5;
  EXPECT_EQ(engine.PlayFile("/nonexistent/file.wav", 1, static_cast<int32_t>(speaker), 100, &id), -20);
  EXPECT_EQ(id, 0);
  id = -5;
  EXPECT_EQ(engine.SendFile(wav.c_str(), 1, 100, &id), 0);
  EXPECT_EQ(id, -5) << "SendFile while not sending leaves the id alone";

  int32_t first = 0, second = 0;
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 1, static_cast<int32_t>(speaker), 100, &first), 0);
  EXPECT_GE(first, 1);
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 1, static_cast<int32_t>(speaker), 100, &second), 0);
  EXPECT_EQ(second, first + 1) << "ids grow by one per player";

  ASSERT_EQ(engine.StartReceiving(static_cast<int32_t>(speaker)), 0);
  id = -5;
  EXPECT_EQ(engine.PlayFile("/nonexistent/file.wav", 1, static_cast<int32_t>(speaker), 100, &id), -10);
  EXPECT_EQ(id, 0);
  ASSERT_EQ(engine.StartSending(static_cast<int32_t>(mic)), 0);
  int32_t sent = 0, played = 0;
  ASSERT_EQ(engine.SendFile(wav.c_str(), 0, 100, &sent), 0);
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 0, static_cast<int32_t>(speaker), 100, &played), 0);
  EXPECT_GT(sent, second);
  EXPECT_GT(played, sent);
  // Each stop only acts on its own side.
  EXPECT_EQ(engine.StopSendFile(played), 0);
  EXPECT_EQ(engine.StopPlayFile(sent), 0);
  EXPECT_EQ(engine.StopFiles(true), 0);
  EXPECT_EQ(engine.StopPlayFile(played), 0);
  EXPECT_EQ(engine.StopSending(), 0);
  EXPECT_EQ(engine.StopReceiving(), 0);
  std::remove(wav.c_str());
}

TEST_F(EngineFixture, LocalFileEndsByItselfAndLoopsUntilStopped) {
  std::string wav = TempWav("engine-end.wav", 800);  // 100 ms
  int32_t id = 0;
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 1, static_cast<int32_t>(speaker), 100, &id), 0);
  // The play ends by itself; the next cleanup deletes it and a new play gets the next id.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(engine.CleanupFinishedFiles(), 0);
  int32_t looping = 0;
  ASSERT_EQ(engine.PlayFile(wav.c_str(), 0, static_cast<int32_t>(speaker), 100, &looping), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // four times the file
  EXPECT_EQ(engine.SetFileVolume(looping, 30), 0);
  EXPECT_EQ(engine.StopPlayFile(looping), 0);
  std::remove(wav.c_str());
}

TEST_F(EngineFixture, RepeatedStartStopCyclesKeepThePoolFlat) {
  ASSERT_EQ(engine.ConfigureSend(0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(engine.ConfigureReceive(0, 0, 0, 0), 0);
  int32_t createdAfterFirst = -1;
  for (int cycle = 0; cycle < 40; ++cycle) {
    // Both orders, so StopSending deleting the reception record meets a running receiver.
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

TEST(VoiceEngineLifecycle, InitializeUninitializeCycles) {
  for (int cycle = 0; cycle < 20; ++cycle) {
    VoiceEngine engine;
    ASSERT_EQ(engine.Initialize(), 0);
    ASSERT_EQ(engine.Uninitialize(), 0);
    ASSERT_EQ(engine.Initialize(), 0);
  }  // the destructor uninitialises
}

}  // namespace

namespace {

// Two engines in one process call each other: coder, detector and playout state are per
// engine, so both directions carry audio at once.
TEST(VoiceEngineTwoInOneProcess, CallEachOther) {
  LoopbackSocket rtpA, rtcpA, rtpB, rtcpB;
  uint32_t micA = 0, micB = 0, speakerA = 0, speakerB = 0;
  ASSERT_EQ(voiceengine::AddToneCaptureDevice("tone A", 440.0, 8000, &micA), 0);
  ASSERT_EQ(voiceengine::AddToneCaptureDevice("tone B", 700.0, 8000, &micB), 0);
  ASSERT_EQ(voiceengine::AddDiscardPlaybackDevice("speaker A", &speakerA), 0);
  ASSERT_EQ(voiceengine::AddDiscardPlaybackDevice("speaker B", &speakerB), 0);
  {
    VoiceEngine a, b;
    struct Side {
      VoiceEngine* engine;
      LoopbackSocket* rtp;
      LoopbackSocket* rtcp;
      LoopbackSocket* peerRtp;
      LoopbackSocket* peerRtcp;
      uint32_t mic, speaker;
    } sides[] = {{&a, &rtpA, &rtcpA, &rtpB, &rtcpB, micA, speakerA}, {&b, &rtpB, &rtcpB, &rtpA, &rtcpA, micB, speakerB}};
    for (Side& side : sides) {
      ASSERT_EQ(side.engine->Initialize(), 0);
      side.engine->SetSockets(side.rtp->Handle(), side.rtcp->Handle());
      side.engine->SetRemote("127.0.0.1", side.peerRtp->Port(), side.peerRtcp->Port());
      side.engine->ConfigureReceive(0, 0, 0, 0);
      side.engine->ConfigureSend(0, 0, 0, 0, 0, 0);
      side.engine->SetCaptureVolume(0, 100);
      ASSERT_EQ(side.engine->StartReceiving(static_cast<int32_t>(side.speaker)), 0);
      ASSERT_EQ(side.engine->StartSending(static_cast<int32_t>(side.mic)), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (Side& side : sides) {
      voiceengine::CallStatistics stats;
      ASSERT_EQ(voiceengine::GetStatistics(side.engine, &stats), 0);
      EXPECT_GT(stats.rtpPacketsSent, 15u);
      EXPECT_GT(stats.rtpPacketsReceived, 15u);
      EXPECT_GT(stats.outputPeak, 1000) << "the peer's tone is played";
    }
    for (Side& side : sides) {
      EXPECT_EQ(side.engine->StopSending(), 0);
      EXPECT_EQ(side.engine->StopReceiving(), 0);
    }
    // One engine going away leaves the other (and the shared pool) working.
    a.Uninitialize();
    ASSERT_EQ(b.StartReceiving(static_cast<int32_t>(speakerB)), 0);
    EXPECT_EQ(b.StopReceiving(), 0);
  }
  for (uint32_t id : {micA, micB, speakerA, speakerB}) voiceengine::RemoveDevice(id);
}

}  // namespace
