#pragma once

// Material for the concealment tests: speech through G.711, a loss pattern of random single
// packets plus one burst in loud speech, and the simple concealments (silence, repeating the last packet)
// that a real one has to beat.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "codecs/G711Codec.h"
#include "codecs/G711Concealer.h"
#include "support/SpeechSynth.h"

namespace ve::test {

// Voiced, speech-like sound where espeak-ng is missing: syllables of 120..300 ms with a pitch
// gliding between 80 and 190 Hz, a glottal-like pulse through three formant resonators that
// change per syllable, and a rise and fall of loudness; pauses of 40..150 ms between them.
inline std::vector<int16_t> VowelLike(double seconds) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const size_t total = static_cast<size_t>(seconds * 8000);
  std::vector<int16_t> out;
  while (out.size() < total) {
    out.resize(std::min(total, out.size() + static_cast<size_t>(320 + unit(random) * 880)), 0);
    const size_t length = static_cast<size_t>(960 + unit(random) * 1440);
    const double f0Start = 80 + unit(random) * 110, f0End = 80 + unit(random) * 110;
    const double formants[3] = {300 + unit(random) * 500, 900 + unit(random) * 1300, 2300 + unit(random) * 700};
    const double widths[3] = {80, 110, 160};
    double a1[3], a2[3], y1[3] = {}, y2[3] = {};
    for (int k = 0; k < 3; ++k) {
      const double r = std::exp(-M_PI * widths[k] / 8000.0);
      a1[k] = 2 * r * std::cos(2 * M_PI * formants[k] / 8000.0);
      a2[k] = -r * r;
    }
    const double peak = 4000 + unit(random) * 8000;
    double phase = 0;
    for (size_t i = 0; i < length && out.size() < total; ++i) {
      const double x = static_cast<double>(i) / static_cast<double>(length);
      phase += (f0Start + (f0End - f0Start) * x) / 8000.0;
      if (phase >= 1) phase -= 1;
      // Open phase of the glottis: a raised cosine over the first 40 % of the period.
      double value = phase < 0.4 ? 0.5 - 0.5 * std::cos(2 * M_PI * phase / 0.4) : 0.0;
      for (int k = 0; k < 3; ++k) {
        const double y = value + a1[k] * y1[k] + a2[k] * y2[k];
        y2[k] = y1[k];
        y1[k] = y;
        value = y * (1 - a1[k] - a2[k]) / 2;  // about unit gain at the resonance's foot
      }
      out.push_back(static_cast<int16_t>(std::clamp(value * peak * std::sin(M_PI * x), -32000.0, 32000.0)));
    }
  }
  return out;
}

// `seconds` of speech as G.711 (A-law) delivers it: espeak-ng's where it can be had, the
// synthetic vowels otherwise.
inline std::vector<int16_t> ConcealmentSpeech(double seconds) {
  std::vector<int16_t> speech;
  if (SpeechToolsAvailable()) speech = SpeechWithPauses("en-us", seconds, 200);
  if (speech.empty()) speech = VowelLike(seconds);
  for (int16_t& s : speech) s = G711Codec::ALawToLinear(G711Codec::LinearToALaw(s));
  return speech;
}

// `speech` cut to whole packets of `packetSamples`, and which of them are lost: each with 5 %
// probability, never two in a row, plus a 60 ms burst in the loudest stretch after packet 20.
struct LossCase {
  std::vector<int16_t> clean;
  std::vector<bool> lost;
};
inline LossCase SpeechWithLoss(const std::vector<int16_t>& speech, size_t packetSamples) {
  const size_t packets = speech.size() / packetSamples, burst = 480 / packetSamples;
  LossCase c{std::vector<int16_t>(speech.begin(), speech.begin() + packets * packetSamples),
             std::vector<bool>(packets, false)};
  std::mt19937 random(11);
  std::bernoulli_distribution lose(0.05);
  for (size_t p = 1; p < packets; ++p) c.lost[p] = !c.lost[p - 1] && lose(random);
  size_t burstAt = 20;
  double loudest = -1;
  for (size_t p = 20; (p + burst + 1) * packetSamples <= c.clean.size(); ++p) {
    double energy = 0;
    for (size_t i = p * packetSamples; i < (p + burst + 1) * packetSamples; ++i) energy += double(c.clean[i]) * c.clean[i];
    if (energy > loudest) loudest = energy, burstAt = p;
  }
  for (size_t p = burstAt; p < burstAt + burst && p < packets; ++p) c.lost[p] = true;
  if (burstAt + burst < packets) c.lost[burstAt + burst] = false;
  c.lost[burstAt - 1] = false;
  return c;
}

// How a receiver fills each lost packet.
enum class Fill { kSilence, kRepeat, kConcealer };

// `speech` cut into packets of `packetSamples` and played with `lost` packets filled by `fill`.
inline std::vector<int16_t> PlayWithLoss(const std::vector<int16_t>& speech, size_t packetSamples,
                                         const std::vector<bool>& lost, Fill fill) {
  std::vector<int16_t> out(speech.size(), 0);
  G711Concealer concealer;
  std::vector<int16_t> last(packetSamples, 0);
  for (size_t p = 0; p < lost.size(); ++p) {
    int16_t* block = out.data() + p * packetSamples;
    const auto n = static_cast<int32_t>(packetSamples);
    if (!lost[p]) {
      std::copy_n(speech.data() + p * packetSamples, packetSamples, block);
      if (fill == Fill::kConcealer) concealer.Good(block, n);
      std::copy_n(block, packetSamples, last.data());
    } else if (fill == Fill::kConcealer) {
      concealer.Conceal(block, n);
    } else if (fill == Fill::kRepeat) {
      std::copy_n(last.data(), packetSamples, block);
    }
  }
  return out;
}

// The samples of the lost packets of `signal`, one after another.
inline std::vector<int16_t> LostParts(const std::vector<int16_t>& signal, size_t packetSamples,
                                      const std::vector<bool>& lost) {
  std::vector<int16_t> parts;
  for (size_t p = 0; p < lost.size(); ++p) {
    if (lost[p]) parts.insert(parts.end(), signal.begin() + p * packetSamples, signal.begin() + (p + 1) * packetSamples);
  }
  return parts;
}

}  // namespace ve::test
