#include "codecs/G711Concealer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "codecs/G711Codec.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

namespace ve {
namespace {

constexpr int32_t kFrame = G711Concealer::kFrameSamples;

// `seconds` of speech as G.711 (A-law) delivers it.
std::vector<int16_t> ConcealmentSpeech(double seconds) {
  std::vector<int16_t> speech = test::SpeechWithPauses("en-us", seconds, 200);
  EXPECT_GT(speech.size(), 8000u) << "espeak-ng/sox missing?";
  for (int16_t& s : speech) s = G711Codec::ALawToLinear(G711Codec::LinearToALaw(s));
  return speech;
}

// `speech` through the concealer with the packets (of `packet` samples) marked in `lost`
// missing, handed over in pieces of the sizes in `cuts` in turn; a piece never crosses a
// packet's end, as a receiver knows each packet whole.
std::vector<int16_t> Play(const std::vector<int16_t>& speech, size_t packet, const std::vector<bool>& lost,
                          const std::vector<size_t>& cuts) {
  G711Concealer concealer;
  std::vector<int16_t> out(lost.size() * packet);
  for (size_t at = 0, c = 0; at < out.size(); ++c) {
    const auto n = static_cast<int32_t>(std::min(cuts[c % cuts.size()], packet - at % packet));
    if (lost[at / packet]) {
      concealer.Conceal(out.data() + at, n);
    } else {
      std::copy_n(speech.data() + at, n, out.data() + at);
      concealer.Good(out.data() + at, n);
    }
    at += n;
  }
  return out;
}

// The lost packets of `signal`, one after another.
std::vector<int16_t> LostParts(const std::vector<int16_t>& signal, size_t packet, const std::vector<bool>& lost) {
  std::vector<int16_t> parts;
  for (size_t p = 0; p < lost.size(); ++p) {
    if (lost[p]) parts.insert(parts.end(), signal.begin() + p * packet, signal.begin() + (p + 1) * packet);
  }
  return parts;
}

// A waveform of exactly `period` samples with three harmonics, so that no shorter period
// repeats it.
std::vector<int16_t> Periodic(size_t count, int32_t period, double amplitude = 8000) {
  std::vector<int16_t> out(count);
  for (size_t n = 0; n < count; ++n) {
    double x = 2 * M_PI * static_cast<double>(n % period) / period;
    out[n] = static_cast<int16_t>(amplitude * (0.6 * std::sin(x) + 0.3 * std::sin(2 * x + 1) + 0.2 * std::sin(3 * x + 2)));
  }
  return out;
}

TEST(G711Concealer, APeriodicSignalGoesOnAcrossALossAndFadesOutBy60Ms) {
  for (int32_t period : {40, 57, 83, 120}) {
    SCOPED_TRACE(period);
    const std::vector<int16_t> signal = Periodic(20 * kFrame, period);
    G711Concealer concealer;
    std::vector<int16_t> played(signal.begin(), signal.begin() + 10 * kFrame);
    concealer.Good(played.data(), 10 * kFrame);
    std::vector<int16_t> concealed(8 * kFrame);
    concealer.Conceal(concealed.data(), 8 * kFrame);

    // The first 10 ms repeat the right period at full level; from there the continuation
    // (two and three periods of a periodic signal are the same signal) falls linearly to
    // nothing at 60 ms.
    std::vector<int16_t> expected(6 * kFrame);
    for (int32_t t = 0; t < 6 * kFrame; ++t) {
      const double gain = t < kFrame ? 1.0 : 1.0 - (t - kFrame) / (5.0 * kFrame);
      expected[t] = static_cast<int16_t>(std::lround(signal[10 * kFrame + t] * gain));
    }
    EXPECT_GT(test::Snr(expected, std::vector<int16_t>(concealed.begin(), concealed.begin() + 6 * kFrame)), 35.0);
    for (int32_t i = 6 * kFrame; i < 8 * kFrame; ++i) ASSERT_EQ(concealed[i], 0) << i;
  }
}

TEST(G711Concealer, ConcealmentHasNoStepsWhereItStartsOrChangesPeriods) {
  // A tone of period 50 whose amplitude grows by half every period: the last played sample
  // and the one a period before it differ a lot, and so do successive periods in the pitch
  // buffer. Repeating periods as they were would jump where the loss starts, at every wrap
  // from the newest period back to the oldest and where a period is added.
  std::vector<int16_t> played(5 * kFrame);
  for (size_t n = 0; n < played.size(); ++n) {
    played[n] = static_cast<int16_t>(300 * std::pow(1.5, n / 50.0) * std::sin(2 * M_PI * (n + 0.5) / 50.0 + 0.7));
  }
  G711Concealer concealer;
  concealer.Good(played.data(), 5 * kFrame);
  int32_t largestStep = 0;
  for (size_t n = played.size() - 50; n < played.size(); ++n) {
    largestStep = std::max(largestStep, std::abs(played[n] - played[n - 1]));
  }
  std::vector<int16_t> concealed(3 * kFrame);
  concealer.Conceal(concealed.data(), 3 * kFrame);
  int16_t before = played.back();
  for (int32_t i = 0; i < 3 * kFrame; ++i) {
    EXPECT_LE(std::abs(concealed[i] - before), largestStep) << i;
    before = concealed[i];
  }
}

TEST(G711Concealer, TheReturnBlendsOnlyTheStartAndLongerAfterLongerLosses) {
  // Period 60: a quarter period is 15 samples. After the loss a different tone arrives, so
  // the blend shows; past its length the good samples are passed through untouched.
  const std::vector<int16_t> before = Periodic(5 * kFrame, 60);
  const std::vector<int16_t> after = Periodic(2 * kFrame, 43, 5000);
  for (auto [frames, blend] : {std::pair{1, 15}, {3, 15 + 64}, {7, 80}}) {
    SCOPED_TRACE(frames);
    G711Concealer concealer;
    std::vector<int16_t> block = before;
    concealer.Good(block.data(), 5 * kFrame);
    std::vector<int16_t> lost(frames * kFrame);
    concealer.Conceal(lost.data(), frames * kFrame);
    std::vector<int16_t> good = after;
    concealer.Good(good.data(), 2 * kFrame);
    int32_t lastChanged = -1;
    for (int32_t i = 0; i < 2 * kFrame; ++i) {
      if (good[i] != after[i]) lastChanged = i;
    }
    EXPECT_GE(lastChanged, blend - 3);
    EXPECT_LT(lastChanged, blend);
    if (frames == 7) {
      // The concealment had faded to silence: the good signal fades in from it.
      for (int32_t i = 0; i < 8; ++i) EXPECT_LE(std::abs(good[i]), std::abs(after[i]) * (i + 1) / 80 + 1) << i;
    }
  }
}

TEST(G711Concealer, HowTheStreamIsCutIntoBlocksDoesNotChangeTheOutput) {
  // Losses of 30 ms and 60 ms and of 90 ms: each cut of the same stream must give the same
  // samples, including cuts within frames.
  const std::vector<int16_t> speech = ConcealmentSpeech(1.2);
  std::vector<bool> lost(speech.size() / 240, false);
  for (size_t p : {1, 3, 4, 7, 8, 9}) lost[p] = true;
  const std::vector<int16_t> frames = Play(speech, 240, lost, {80});
  EXPECT_EQ(Play(speech, 240, lost, {240}), frames);
  EXPECT_EQ(Play(speech, 240, lost, {160, 80}), frames);
  EXPECT_EQ(Play(speech, 240, lost, {13, 67, 101, 1, 58}), frames);
}

TEST(G711Concealer, SpeechWithLossesSoundsCloserToTheOriginalThanSilenceOrRepetition) {
  // 5 % of the packets lost one at a time (never two in a row) and a burst of 60 ms in the
  // loudest stretch, for packets of 10 and 20 ms; compared over the lost packets.
  const std::vector<int16_t> speech = ConcealmentSpeech(8.0);
  for (size_t packet : {80u, 160u}) {
    SCOPED_TRACE(packet);
    const size_t packets = speech.size() / packet, burst = 480 / packet;
    std::vector<bool> lost(packets, false);
    std::mt19937 random(11);
    std::bernoulli_distribution lose(0.05);
    for (size_t p = 1; p < packets; ++p) lost[p] = !lost[p - 1] && lose(random);
    size_t loudest = 20;
    double loudestEnergy = -1;
    for (size_t p = 20; p + burst + 1 <= packets; ++p) {
      double energy = 0;
      for (size_t i = p * packet; i < (p + burst + 1) * packet; ++i) energy += double(speech[i]) * speech[i];
      if (energy > loudestEnergy) loudestEnergy = energy, loudest = p;
    }
    for (size_t p = loudest - 1; p <= loudest + burst && p < packets; ++p) lost[p] = p >= loudest && p < loudest + burst;
    std::vector<int16_t> repeated(speech.begin(), speech.begin() + packets * packet);
    for (size_t p = 1; p < packets; ++p) {
      if (lost[p]) std::copy_n(&repeated[(p - 1) * packet], packet, &repeated[p * packet]);
    }
    const std::vector<int16_t> truth = LostParts(speech, packet, lost);
    const std::vector<int16_t> ours = LostParts(Play(speech, packet, lost, {packet}), packet, lost);
    for (const std::vector<int16_t>& simple : {std::vector<int16_t>(truth.size(), 0), LostParts(repeated, packet, lost)}) {
      EXPECT_GT(test::SegmentalSnr(truth, ours), test::SegmentalSnr(truth, simple) + 1.0);
      EXPECT_GT(test::Snr(truth, ours), test::Snr(truth, simple));
    }
  }
}

}  // namespace
}  // namespace ve
