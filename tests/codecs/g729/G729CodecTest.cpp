// G729Codec measured against an independent G.729 Annex A implementation, linked into this
// program only: our encoder picks the reference's parameters and our decoder follows the
// reference's output on clean, lossy and paused streams. Then the codec's framing, refusals and
// per-object state, and the filters around it.

#include "codecs/G729Codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "G729Oracle.h"
#include "codecs/FilterTestHelpers.h"
#include "codecs/G729DecoderFilter.h"
#include "codecs/G729EncoderFilter.h"
#include "codecs/g729/G729Bitstream.h"
#include "codecs/g729/G729Decoder.h"
#include "codecs/g729/G729Dsp.h"
#include "codecs/g729/G729Encoder.h"
#include "codecs/g729/G729Lsp.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

namespace ve::test {
namespace {

// Speech with 1.5 s pauses over low-passed noise: the reference encoder's pause detection
// turns the pauses into SID frames and frames not sent.
std::vector<int16_t> SpeechOverNoise() {
  std::vector<int16_t> pcm = SpeechWithPauses("en-us", 6.0, 1500);
  static const double kTaps[] = {0.25, 0.5, 0.25};
  const std::vector<int16_t> noise = FirFilter(WhiteNoise(pcm.size(), 1000.0, 5), kTaps, 3);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(std::clamp(pcm[i] + noise[i], -32768, 32767));
  return pcm;
}

struct Material {
  const char* name;
  std::vector<int16_t> pcm;
  double clean, lossy, paused;  // the least SNR of our decoder against the reference's, in dB
                                // (measured: 3 dB more)
};

// Voices from low to high pitch, speech clipped at full scale, speech over noise, white noise
// and a sweep: every pitch range, both LSP predictors, the ends of the gain codebooks.
const std::vector<Material>& Signals() {
  static const std::vector<Material> signals = {
      {"en-us", SpeechWithPauses("en-us", 4.0), 42.0, 42.0, 41.0},
      {"en-gb+f3", SpeechWithPauses("en-gb+f3", 4.0), 42.0, 38.0, 40.0},
      {"loud de+m3", Amplify(SpeechWithPauses("de+m3", 3.0), 8.0), 39.0, 37.0, 37.0},
      {"over noise", SpeechOverNoise(), 44.0, 35.0, 29.0},
      {"white noise", WhiteNoise(8000, 6000.0), 34.0, 47.0, 47.0},
      {"sweep", Sweep(8000, 100.0, 3800.0, 12000.0), 29.0, 28.0, 28.0}};
  return signals;
}

// The stream with about one frame in ten lost (never two in a row, never a pause's first SID,
// which the reference cannot tell from a frame not sent) and a burst of six from frame 100.
std::vector<ReceivedFrame> WithLosses(std::vector<ReceivedFrame> frames) {
  std::mt19937 random(11);
  for (size_t f = 2; f < frames.size(); ++f) {
    const bool firstSid = frames[f].bytes.size() == 2 && frames[f - 1].bytes.size() == kG729FrameBytes;
    frames[f].lost = (f >= 100 && f < 106) || (!frames[f - 1].lost && !firstSid && random() % 9 == 0);
  }
  return frames;
}

// SNR of our decoder's output against the reference decoder's on the same frames.
double DecoderAgreement(const std::vector<ReceivedFrame>& frames) { return Snr(OracleDecode(frames), OwnDecode(frames)); }

// Mean power in dB of the 10 ms frames `frames` of `pcm` (0 dB: an RMS of one step).
double PowerDb(const std::vector<int16_t>& pcm, const std::vector<size_t>& frames) {
  double energy = 1e-9;
  for (size_t f : frames) {
    for (size_t i = f * kG729FrameSamples; i < (f + 1) * kG729FrameSamples; ++i) energy += double(pcm[i]) * pcm[i];
  }
  return 10.0 * std::log10(energy / double(frames.size() * kG729FrameSamples));
}

// Segmental SNR of the decoded signal against the input, aligned by cross-correlation.
double CodedQuality(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded) {
  return SegmentalSnr(input, decoded, BestLag(input, decoded, 160));
}

// Our encoder codes each signal as well as the reference encoder (within 0.06 dB; measured:
// 0.035 dB worse at most), heard through the reference decoder as a peer hears us, and picks the reference's value of each parameter in a good
// share of frames (most fields have hundreds to thousands of values). Our decoder follows the
// reference decoder on the reference's frames: clean, with losses, and with pauses sent as
// SID frames and frames not sent. With a pause's first SID lost, ours plays the pause at the
// last speech's level until the next SID: about as loud as the reference plays a pause over
// noise from its SID.
TEST(G729Codec, EncoderAndDecoderFollowTheReference) {
  int same[g729::kParamCount] = {}, frames = 0, a[g729::kParamCount], b[g729::kParamCount];
  for (const Material& m : Signals()) {
    ASSERT_GE(m.pcm.size(), 8000u) << m.name << ": espeak-ng/sox missing?";
    const std::vector<uint8_t> reference = OracleEncode(m.pcm), ours = OwnEncode(m.pcm);
    ASSERT_EQ(ours.size(), reference.size());
    for (size_t at = 0; at < reference.size(); at += kG729FrameBytes, ++frames) {
      g729::UnpackFrame(&reference[at], a);
      g729::UnpackFrame(&ours[at], b);
      for (int k = 0; k < g729::kParamCount; ++k) same[k] += a[k] == b[k];
    }
    const double theirs = CodedQuality(m.pcm, OracleDecode(SpeechFrames(reference)));
    EXPECT_GE(CodedQuality(m.pcm, OracleDecode(SpeechFrames(ours))), theirs - 0.06) << m.name;
    EXPECT_GE(DecoderAgreement(SpeechFrames(reference)), m.clean) << m.name;
    EXPECT_GE(DecoderAgreement(WithLosses(SpeechFrames(reference))), m.lossy) << m.name;
    const std::vector<ReceivedFrame> paused = OracleEncodeWithPauses(m.pcm);
    EXPECT_GE(DecoderAgreement(WithLosses(paused)), m.paused) << m.name;
    std::vector<ReceivedFrame> sidLost = paused;
    std::vector<size_t> untilSid;
    for (size_t f = 1; f < paused.size(); ++f) {
      if (paused[f].bytes.size() != 2 || paused[f - 1].bytes.size() != kG729FrameBytes) continue;
      sidLost[f].lost = true;
      for (size_t g = f + 1; g < paused.size() && paused[g].bytes.empty(); ++g) untilSid.push_back(g);
    }
    const double pauseLevel = untilSid.empty() ? 0.0 : PowerDb(OracleDecode(paused), untilSid);
    if (pauseLevel > 0.0) {  // the pauses are not silence
      EXPECT_NEAR(PowerDb(OwnDecode(sidLost), untilSid), pauseLevel, 5.0) << m.name;
    }
  }
  // Nine tenths of the measured shares; the parity bit (3) agrees by chance half the time.
  static constexpr double kLeastShare[g729::kParamCount] = {0.436, 0.109, 0.262, 0.6,   0.103, 0.244,
                                                            0.246, 0.145, 0.09,  0.227, 0.241};
  for (int k = 0; k < g729::kParamCount; ++k) EXPECT_GE(same[k] / double(frames), kLeastShare[k]) << "parameter " << k;
}

// Two SIDs 60 ms apart with every predictor bit and LSF index pair, then every level: the SID
// codebook rows and predictors, and the level table, as the reference reads them. The lowest
// level the reference plays as silence, ours under one step of the samples.
TEST(G729Codec, EverySidIndexDecodesAsTheReferenceDecodesIt) {
  auto twoSids = [](int word) {
    std::vector<ReceivedFrame> stream(12);
    stream[0].bytes = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF)};
    stream[6].bytes = stream[0].bytes;
    return stream;
  };
  for (int lsf = 0; lsf < (1 << 10); ++lsf) {
    EXPECT_GE(DecoderAgreement(twoSids((lsf << 6) | (20 << 1))), 10.0) << "predictor and indices " << lsf;
  }
  const std::vector<size_t> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  for (int level = 0; level < 32; ++level) {
    const std::vector<ReceivedFrame> stream = twoSids((0x1234 & ~0x3F) | (level << 1));
    const double ours = PowerDb(OwnDecode(stream), all);
    if (level == 0) {
      EXPECT_LT(ours, 0.0);
    } else {
      EXPECT_NEAR(ours, PowerDb(OracleDecode(stream), all), 1.0) << level;
    }
  }
}

// Random frames and the worst frame for growth of the excitation (largest pitch gain, shortest
// delay) leave no lasting damage; a frame with a bad pitch parity is concealed as the
// reference conceals it.
TEST(G729Codec, ArbitraryFramesLeaveNoLastingDamageAndABadParityIsConcealed) {
  int params[g729::kParamCount] = {3, 0, 0, g729::PitchParity(0), 0, 0, 5, 0, 0, 0, 5};
  uint8_t frame[g729::kFrameBytes];
  g729::PackFrame(params, frame);
  std::vector<uint8_t> worst, noise(10000);
  for (int i = 0; i < 1000; ++i) worst.insert(worst.end(), frame, frame + g729::kFrameBytes);
  std::mt19937 random(7);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  const std::vector<uint8_t> bits = OracleEncode(Signals()[0].pcm);
  const std::vector<int16_t> fresh = OwnDecode(SpeechFrames(bits));
  for (const std::vector<uint8_t>& garbage : {noise, worst}) {
    G729Codec dirty;
    ASSERT_EQ(OwnDecode(SpeechFrames(garbage), &dirty).size(), garbage.size() * 8);
    const std::vector<int16_t> recovered = OwnDecode(SpeechFrames(bits), &dirty);
    EXPECT_GE(Snr(std::vector<int16_t>(fresh.begin() + 4000, fresh.end()),
                  std::vector<int16_t>(recovered.begin() + 4000, recovered.end())), 30.0);
  }
  std::vector<uint8_t> damaged = bits;
  const size_t victim = bits.size() / 2 / 10 * 10;
  damaged[victim + 3] ^= 0x20;  // the parity bit
  g729::UnpackFrame(&damaged[victim], params);
  ASSERT_NE(g729::PitchParity(params[2]), params[3]);
  EXPECT_NE(OwnDecode(SpeechFrames(damaged)), fresh);
  EXPECT_GE(DecoderAgreement(SpeechFrames(damaged)), 18.0);
}

// A negative length codes nothing, and a capacity that is not a whole number of frames or
// blocks is filled with whole ones only (the rest of the buffer keeps its 0xEE fill). A lost
// frame, a SID or a frame not sent needs room for one block, and a SID is two bytes; refused,
// the call writes nothing and leaves the decoder as it was.
TEST(G729Codec, CodesWholeUnitsWithinTheCapacityAndRefusesWithoutTouchingState) {
  G729Codec codec;
  const std::vector<uint8_t> pcm = PcmBytes(WhiteNoise(800, 3000.0)), frames(300, 0x5A);
  for (auto [encode, bytes, capacity, written] :
       {std::tuple{true, -160, 3200, 0}, {true, 1600, 25, 20}, {false, 300, 170, 160}}) {
    std::vector<uint8_t> out(4000, 0xEE);
    int32_t length = capacity;
    EXPECT_EQ(encode ? codec.Encode(pcm.data(), bytes, out.data(), length)
                     : codec.Decode(frames.data(), bytes, out.data(), length), 0);
    EXPECT_EQ(length, written) << bytes;
    EXPECT_EQ(std::count(out.begin() + written, out.end(), 0xEE), 4000 - written) << bytes;
  }

  const uint8_t sid[3] = {0x5A, 0x3C, 0x00};
  std::vector<ReceivedFrame> stream = SpeechFrames(OwnEncode(Sweep(8000, 200.0, 3000.0, 8000.0)), {53, 60, 67});
  stream.resize(80);
  stream[70].bytes.assign(sid, sid + 2);
  for (size_t f = 71; f < 80; ++f) stream[f].bytes.clear();  // frames not sent after the SID
  G729Codec asked;
  OwnDecode({stream.begin(), stream.begin() + 50}, &asked);
  std::vector<uint8_t> out(400, 0xEE);
  constexpr int32_t kNoRoom = G729Codec::kDecodeNoRoom, kBadSid = G729Codec::kDecodeBadSid, kRoom = G729Codec::kBlockBytes;
  // Calls 0 and 1: a lost frame, a frame not sent; call n > 1: a SID of n - 2 bytes.
  for (auto [expected, capacity, call] : {std::tuple{kNoRoom, kRoom - 1, 0}, {kNoRoom, kRoom - 1, 1},
                                          {kNoRoom, kRoom - 1, 4}, {kBadSid, kRoom, 3}, {kBadSid, kRoom, 5}}) {
    int32_t length = capacity;
    EXPECT_EQ(call == 0   ? asked.DecodeErased(out.data(), length)
              : call == 1 ? asked.DecodeNoData(out.data(), length)
                          : asked.DecodeSid(sid, call - 2, out.data(), length), expected) << call;
    EXPECT_EQ(length, 0) << call;
  }
  EXPECT_EQ(out, std::vector<uint8_t>(400, 0xEE));
  const std::vector<int16_t> whole = OwnDecode(stream);
  ASSERT_EQ(whole.size(), stream.size() * kG729FrameSamples);
  EXPECT_EQ(OwnDecode({stream.begin() + 50, stream.end()}, &asked),
            std::vector<int16_t>(whole.begin() + 50 * kG729FrameSamples, whole.end()));
}

// Each object carries its own state: a signal coded in two calls, with another codec at work
// in between, gives the frames and samples of one call; its second half coded afresh does not.
TEST(G729Codec, StateBelongsToEachObject) {
  const std::vector<int16_t> speech = Sweep(16000, 200.0, 3000.0, 8000.0);
  const std::vector<int16_t> first(speech.begin(), speech.begin() + 8000), second(speech.begin() + 8000, speech.end());
  const std::vector<ReceivedFrame> frames = SpeechFrames(OwnEncode(speech));
  G729Codec a, b;
  std::vector<uint8_t> bits = OwnEncode(first, &a);
  std::vector<int16_t> decoded = OwnDecode({frames.begin(), frames.begin() + 100}, &a);
  const std::vector<uint8_t> afresh = OwnEncode(second, &b), rest = OwnEncode(second, &a);
  OwnDecode(SpeechFrames(afresh), &b);
  EXPECT_NE(rest, afresh);
  bits.insert(bits.end(), rest.begin(), rest.end());
  EXPECT_EQ(bits, OwnEncode(speech));
  const std::vector<int16_t> restDecoded = OwnDecode({frames.begin() + 100, frames.end()}, &a);
  decoded.insert(decoded.end(), restDecoded.begin(), restDecoded.end());
  EXPECT_EQ(decoded, OwnDecode(frames));
}

// Reset encoders and decoders start again from their initial state: after a stream with
// losses and pauses, they code a signal, and decode a stream that starts with a pause, as new
// ones do.
TEST(G729Codec, ResetCodersStartAfresh) {
  const std::vector<int16_t>& pcm = Signals()[3].pcm;
  const std::vector<ReceivedFrame> paused = WithLosses(OracleEncodeWithPauses(pcm));
  size_t pause = 1;
  while (paused[pause].bytes.size() != 2 || paused[pause - 1].bytes.size() != kG729FrameBytes) ++pause;
  const std::vector<ReceivedFrame> fromPause(paused.begin() + static_cast<ptrdiff_t>(pause), paused.end());
  auto code = [&pcm](g729::G729Encoder& encoder, g729::G729Decoder& decoder,
                     const std::vector<ReceivedFrame>& frames) {
    std::vector<uint8_t> bits(pcm.size() / kG729FrameSamples * kG729FrameBytes);
    for (size_t f = 0; f < pcm.size() / kG729FrameSamples; ++f) {
      encoder.EncodeFrame(&pcm[f * kG729FrameSamples], &bits[f * kG729FrameBytes]);
    }
    std::vector<int16_t> out(frames.size() * kG729FrameSamples);
    for (size_t f = 0; f < frames.size(); ++f) {
      int16_t* block = &out[f * kG729FrameSamples];
      if (frames[f].lost) {
        decoder.DecodeErased(block);
      } else if (frames[f].bytes.empty()) {
        decoder.DecodeNoData(block);
      } else if (frames[f].bytes.size() == 2) {
        decoder.DecodeSid(frames[f].bytes.data(), block);
      } else {
        decoder.DecodeFrame(frames[f].bytes.data(), block);
      }
    }
    return std::pair{bits, out};
  };
  g729::G729Encoder used, fresh;
  g729::G729Decoder usedDecoder, freshDecoder;
  code(used, usedDecoder, paused);
  used.Reset();
  usedDecoder.Reset();
  EXPECT_EQ(code(used, usedDecoder, fromPause), code(fresh, freshDecoder, fromPause));
}

// LP coefficients of an unstable filter (A(z) has a zero at z = 3) have too few LSP roots on
// the search grid: the previous LSPs are kept.
TEST(G729Lsp, TooFewRootsKeepThePreviousLsps) {
  const double a[g729::kMp1] = {1.0, -3.0};
  const double previous[g729::kM] = {0.9, 0.7, 0.5, 0.3, 0.1, -0.1, -0.3, -0.5, -0.7, -0.9};
  double lsp[g729::kM];
  g729::AzToLsp(a, lsp, previous);
  EXPECT_TRUE(std::equal(lsp, lsp + g729::kM, previous));
}

// The encoder filter codes whole blocks into G.729 samples; the decoder filter's output
// stops at a sample's 3200 bytes.
TEST(G729Filters, EncodeIntoG729SamplesAndDecodeWithinOneSample) {
  G729EncoderFilter encoder;
  Cycle five(encoder, {MakePcm(WhiteNoise(400, 5000.0))});
  ASSERT_EQ(five.result, 0);
  EXPECT_EQ(five.output->DataSize(), 50);
  EXPECT_EQ(five.output->DurationMs(), 50);
  EXPECT_EQ(five.output->Format().wFormatTag, WAVE_FORMAT_G729);
  G729DecoderFilter decoder;
  Cycle longer(decoder, {MakeBytes(kFormatG729, std::vector<uint8_t>(400, 0x3C))});
  ASSERT_EQ(longer.result, 0);
  EXPECT_EQ(longer.output->Format().wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(longer.output->DataSize(), 3200);
}

}  // namespace
}  // namespace ve::test
