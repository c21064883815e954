#include "audio/PlayoutCore.h"

#include "AudioTestSupport.h"

#include <functional>

#include "codecs/G711Codec.h"
#include "codecs/G729Codec.h"

namespace ve {
namespace {

constexpr int kBlock = PlayoutCore::kBlockSamples;

// A sender of one source and a listener that asks for 10 ms every 10 ms, in virtual time.
struct Call {
  PlayoutCore core;
  std::vector<int16_t> heard;
  uint32_t nowMs = 1000;

  void Put(uint8_t pt, uint16_t seq, uint32_t timestamp, const std::vector<uint8_t>& payload, uint32_t atMs,
           bool marker = false, uint32_t ssrc = 0xABCD) {
    core.Put(*test::Rtp(static_cast<uint8_t>(pt | (marker ? 0x80 : 0)), seq, timestamp, ssrc, payload).packet, atMs);
  }
  // Plays until `untilMs`, calling `arrivals(t)` first at every ms.
  void Run(uint32_t untilMs, const std::function<void(uint32_t)>& arrivals) {
    for (; nowMs < untilMs; ++nowMs) {
      arrivals(nowMs);
      if (nowMs % 10 == 0) {
        int16_t block[kBlock];
        core.Get(block, nowMs);
        heard.insert(heard.end(), block, block + kBlock);
      }
    }
  }
};

std::vector<uint8_t> ALaw(const std::vector<int16_t>& pcm, size_t from, size_t count) {
  std::vector<uint8_t> codes;
  for (size_t i = from; i < from + count; ++i) codes.push_back(G711Codec::LinearToALaw(pcm[i]));
  return codes;
}

// The sent signal as the receiver decodes it without loss.
std::vector<int16_t> Decoded(const std::vector<int16_t>& pcm) {
  std::vector<int16_t> out;
  for (int16_t v : pcm) out.push_back(G711Codec::ALawToLinear(G711Codec::LinearToALaw(v)));
  return out;
}

// Packets of `packetMs` carry the tone; arrival = media time + `delay(index)`. A comfort-noise
// packet ends the stream, as a sender going quiet does.
void SendTone(Call& call, const std::vector<int16_t>& pcm, int packetMs, const std::function<int(int)>& delay,
              const std::function<bool(int)>& lost = [](int) { return false; }) {
  const int samples = packetMs * 8;
  const int packets = static_cast<int>(pcm.size()) / samples;
  std::vector<uint32_t> due(static_cast<size_t>(packets));
  for (int i = 0; i < packets; ++i) due[static_cast<size_t>(i)] = 1000u + static_cast<uint32_t>(i * packetMs + packetMs + delay(i));
  call.Run(1000u + static_cast<uint32_t>(packets * packetMs + 600), [&](uint32_t t) {
    for (int i = 0; i < packets; ++i) {
      if (due[static_cast<size_t>(i)] != t || lost(i)) continue;
      call.Put(8, static_cast<uint16_t>(100 + i), 5000u + static_cast<uint32_t>(i * samples),
               ALaw(pcm, static_cast<size_t>(i * samples), static_cast<size_t>(samples)), t, i == 0);
    }
    if (t == due.back() + static_cast<uint32_t>(packetMs)) {
      call.Put(13, static_cast<uint16_t>(100 + packets), 5000u + static_cast<uint32_t>(packets * samples), {90}, t);
    }
  });
}

// Whatever the packet size, a clean stream plays every sample exactly once, at a delay that
// settles at once and never changes.
TEST(PlayoutCore, CleanStreamOfAnyPacketSizePlaysEverySampleOnceAtASteadyDelay) {
  const std::vector<int16_t> tone = test::WhiteNoise(8000, 8000.0, 5);
  for (int packetMs : {10, 20, 40, 60}) {
    SCOPED_TRACE(packetMs);
    Call call;
    SendTone(call, tone, packetMs, [](int) { return 0; });
    const std::vector<int16_t> expected = Decoded(tone);
    const int lag = test::BestLag(expected, call.heard, 4000);
    ASSERT_GE(lag, 0);
    const size_t sent = expected.size() / static_cast<size_t>(packetMs * 8) * static_cast<size_t>(packetMs * 8);
    const PlayoutCoreStats stats = call.core.Stats();
    for (size_t i = 0; i < sent; ++i) ASSERT_EQ(call.heard[i + static_cast<size_t>(lag)], expected[i]) << i;
    EXPECT_EQ(stats.concealedMs, 0);
    EXPECT_EQ(stats.delayChanges, 0);
    EXPECT_EQ(stats.lateFrames, 0);
    EXPECT_EQ(stats.rebuffers, 0);
    EXPECT_LE(lag / 8, packetMs + 20) << "the packet's own length and the smallest target";
  }
}

// A lost packet is concealed by the codec, not by silence or repetition; a packet arriving
// after its place was concealed is dropped and counted. Reset makes the core as new: the same
// call again plays the same.
TEST(PlayoutCore, LossIsConcealedAndALatePacketDroppedAndAResetCallPlaysTheSame) {
  const std::vector<int16_t> tone = test::Tone(8000, 330.0, 8000);
  Call call;
  auto send = [&] { SendTone(call, tone, 20, [](int i) { return i == 30 ? 200 : 0; }, [](int i) { return i == 10; }); };
  send();
  const PlayoutCoreStats stats = call.core.Stats();
  const std::vector<int16_t> heard = call.heard;
  call.core.Reset();
  call.heard.clear();
  call.nowMs = 1000;
  send();
  EXPECT_EQ(call.heard, heard);
  EXPECT_EQ(call.core.Stats().concealedMs, stats.concealedMs);
  EXPECT_EQ(call.core.Stats().playedMs, stats.playedMs);
  // The lost packet and the one that came 200 ms late, each 20 ms, and at most a block more
  // where the buffer ran dry waiting for them.
  EXPECT_GE(stats.concealedMs, 40);
  EXPECT_LE(stats.concealedMs, 60);
  EXPECT_EQ(stats.lateFrames, 1);
  const std::vector<int16_t> expected = Decoded(tone);
  const int lag = test::BestLag(expected, call.heard, 4000);
  EXPECT_GT(test::Snr(expected, call.heard, lag), 10.0) << "a steady tone conceals well";
  // The lost packet's own 20 ms continue the tone (neither silence nor the last block again).
  const std::vector<int16_t> lostPart(expected.begin() + 1600, expected.begin() + 1760);
  const std::vector<int16_t> heardPart(call.heard.begin() + 1600 + lag, call.heard.begin() + 1760 + lag);
  EXPECT_GT(test::Snr(lostPart, heardPart), 3.0) << "concealed: about 9 dB; the last block again: -3 dB";
}

// Late packets raise the delay at once (the wait for a packet that has not come stretches the
// time with concealment, and the packet still plays); when the network calms, time-scaling
// pays the delay back a few ms at a time. Nothing is dropped.
TEST(PlayoutCore, ADelaySpikeStretchesTheDelayAndTimeScalingPaysItBack) {
  const std::vector<int16_t> tone = test::Tone(8000 * 20, 200.0, 8000);
  Call call;
  SendTone(call, tone, 20, [](int i) { return i >= 30 && i < 45 ? 300 - (i - 30) * 20 : 0; });
  const PlayoutCoreStats stats = call.core.Stats();
  EXPECT_EQ(stats.lateFrames, 0);
  EXPECT_EQ(stats.playedMs, 20000);
  EXPECT_LE(stats.concealedMs, 320);
  EXPECT_GE(stats.timeScaledMs, 150) << "the spike's delay is paid back";
  EXPECT_LE(stats.rebuffers, 1);
}

// A pause announced by comfort noise plays noise at its level, is not loss, and the next talk
// spurt plays in full.
TEST(PlayoutCore, ComfortNoisePausePlaysNoiseAtItsLevelAndIsNotLoss) {
  const std::vector<int16_t> tone = test::Tone(1600, 500.0, 8000);
  Call call;
  int32_t pauseTargetMs = 0;
  call.Run(3300, [&](uint32_t t) {
    // 200 ms of tone, then CN at -40 dBov 10 ms late (a sender's hangover: no sign of jitter),
    // 1.6 s of nothing, then 200 ms of tone (marker).
    const uint32_t rel = t - 1000;
    if (rel >= 20 && rel <= 200 && rel % 20 == 0) {
      const uint32_t i = rel / 20 - 1;
      call.Put(8, static_cast<uint16_t>(i), i * 160, ALaw(tone, i * 160, 160), t);
    }
    if (rel == 230) call.Put(13, 10, 1600, {40}, t);
    if (rel == 1000) pauseTargetMs = call.core.Stats().targetMs;
    if (rel == 2020) call.Put(13, 21, 1600 * 8 + 1600, {40}, t);
    if (rel >= 1820 && rel <= 2000 && rel % 20 == 0) {
      const uint32_t i = (rel - 1820) / 20;
      call.Put(8, static_cast<uint16_t>(11 + i), 1600 * 8 + i * 160, ALaw(tone, i * 160, 160), t, i == 0);
    }
  });
  const PlayoutCoreStats stats = call.core.Stats();
  EXPECT_EQ(stats.concealedMs, 0);
  EXPECT_EQ(stats.lateFrames, 0);
  EXPECT_GE(stats.comfortNoiseMs, 1000);
  EXPECT_EQ(pauseTargetMs, DelayEstimator::kMinTargetMs) << "the late comfort noise is no jitter";
  // Noise from the first block after the tone (played 30..220 ms) until the next talk spurt.
  for (size_t at = 80 * 23; at < 80 * 183; at += 80) ASSERT_GT(test::Rms(call.heard, at, 80), 100.0) << at / 80;
  // The noise in the middle of the pause: -40 dBov is an RMS of 328.
  EXPECT_NEAR(20 * std::log10(test::Rms(call.heard, 8 * 800, 8 * 600) / 32767.0), -40.0, 3.0);
  EXPECT_EQ(stats.playedMs, 400);
}

// G.729 packets of any frame count play in full; a SID at the end of the talk spurt gives way
// to the coder's comfort noise.
TEST(PlayoutCore, G729FramesOfAnyCountAndASidPlay) {
  const std::vector<int16_t> speech = test::WhiteNoise(8000, 3000.0, 9);
  G729Codec encoder;
  std::vector<uint8_t> frames(1000);
  int32_t length = static_cast<int32_t>(frames.size());
  encoder.Encode(reinterpret_cast<const uint8_t*>(speech.data()), static_cast<int32_t>(speech.size() * 2),
                 frames.data(), length);
  ASSERT_EQ(length, 1000);
  for (int count : {1, 2, 5}) {
    SCOPED_TRACE(count);
    Call call;
    const int packets = 100 / count;
    call.Run(2800, [&](uint32_t t) {
      for (int p = 0; p < packets; ++p) {
        if (t != 1000u + static_cast<uint32_t>((p + 1) * count * 10)) continue;
        std::vector<uint8_t> payload(frames.begin() + p * count * 10, frames.begin() + (p + 1) * count * 10);
        if (p + 1 == packets) payload.insert(payload.end(), {0x15, 0x40});
        call.Put(18, static_cast<uint16_t>(p), static_cast<uint32_t>(p * count * 80), payload, t);
      }
    });
    const PlayoutCoreStats stats = call.core.Stats();
    EXPECT_EQ(stats.playedMs, 1010) << "a second of speech and the SID's 10 ms";
    EXPECT_EQ(stats.concealedMs, 0);
    EXPECT_GT(stats.comfortNoiseMs, 500) << "the pause after the SID is comfort noise";
  }
}

// Each payload type plays its own length, G.711 by its own law and G.723 (no coder) as
// silence of 30 ms a frame whatever the frame's kind; a duplicate is counted and dropped; a
// sequence jump no buffer could bridge (a sender restart) starts the playout afresh.
TEST(PlayoutCore, EachPayloadTypePlaysItsOwnLengthAcrossDuplicatesAndARestart) {
  std::vector<uint8_t> g723(24, 0x00);  // frames of 24, 20 and 4 bytes
  g723.resize(44, 0x01);
  g723.resize(48, 0x02);
  const struct {
    uint8_t pt;
    std::vector<uint8_t> payload;
    uint32_t ms;
    int16_t value;
  } cases[] = {{0, std::vector<uint8_t>(160, 0x10), 20, G711Codec::ULawToLinear(0x10)},
               {8, std::vector<uint8_t>(160, 0x10), 20, G711Codec::ALawToLinear(0x10)},
               {4, g723, 90, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.pt));
    Call call;
    int32_t mostBuffered = 0;
    call.Run(1000 + 41 * c.ms + 600, [&](uint32_t t) {
      mostBuffered = std::max(mostBuffered, call.core.Stats().bufferedMs);
      const uint32_t i = (t - 1000) / c.ms;
      if ((t - 1000) % c.ms != 0 || i == 0 || i > 40) return;
      const auto seq = static_cast<uint16_t>(i <= 20 ? 100 + i : 30000 + i);  // the sender restarted
      for (int copies = i == 5 ? 2 : 1; copies > 0; --copies) call.Put(c.pt, seq, 5000 + i * c.ms * 8, c.payload, t);
    });
    const PlayoutCoreStats stats = call.core.Stats();
    EXPECT_EQ(stats.duplicates, 1);
    EXPECT_EQ(stats.lateFrames, 0);
    // The packet waiting at the jump may be lost with the old sequence, no more.
    EXPECT_GE(stats.playedMs, 39 * c.ms);
    EXPECT_LE(stats.playedMs, 40 * c.ms);
    EXPECT_GE(std::count(call.heard.begin(), call.heard.end(), c.value), 39 * c.ms * 8);
    // A steady stream needs the smallest target; a packet waits at least its own length.
    EXPECT_EQ(stats.targetMs, DelayEstimator::kMinTargetMs);
    EXPECT_EQ(stats.rebuffers, 1) << "the stream stops without a pause: the buffer runs dry";
    EXPECT_GE(mostBuffered, static_cast<int32_t>(c.ms));
  }
}

// A second source is refused while the heard one talks; it takes over once the heard one has
// said BYE or been quiet for two packet times, and then the old one is refused in its turn.
TEST(PlayoutCore, ANewSourceTakesOverOnlyAfterAByeOrTwoPacketTimesOfQuiet) {
  Call call;
  const std::vector<uint8_t> payload(160, 0x55);
  uint16_t seq = 0;
  auto from = [&](uint32_t ssrc, uint32_t t) {
    ++seq;  // each source's timestamps on a clock of its own
    call.Put(8, seq, 160u * seq + (ssrc == 0xB ? 4000000u : 0u), payload, t, false, ssrc);
  };
  call.Run(2200, [&](uint32_t t) {
    const uint32_t rel = t - 1000;
    if (rel % 20 != 0) return;
    if (rel >= 20 && rel <= 400) from(0xA, t);
    if (rel == 100) call.core.SourceLeft(0xB);  // not the heard source: no effect
    if (rel == 200) from(0xB, t);               // refused
    if (rel == 400) call.core.SourceLeft(0xA);
    if (rel >= 420 && rel <= 800) from(0xB, t);  // takes over
    if (rel == 600 || rel == 820 || rel >= 840) from(0xA, t);  // refused twice, then takes over
  });
  const PlayoutCoreStats stats = call.core.Stats();
  EXPECT_EQ(stats.otherSourceDropped, 3);
  EXPECT_EQ(stats.sourceChanges, 2);
  EXPECT_EQ(stats.targetMs, DelayEstimator::kMinTargetMs) << "the jitter of the source heard now";
  // A BYE of the heard source is forgotten with the call.
  call.core.SourceLeft(0xA);
  call.core.Reset();
  call.Put(8, 1, 160, payload, 2300, false, 0xC);
  call.Put(8, 2, 320, payload, 2300, false, 0xD);
  EXPECT_EQ(call.core.Stats().otherSourceDropped, 1);
}

}  // namespace
}  // namespace ve
