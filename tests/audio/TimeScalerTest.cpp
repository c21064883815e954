#include "audio/TimeScaler.h"

#include "AudioTestSupport.h"

#include <cstdlib>

namespace ve {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int32_t kMaxShift = TimeScaler::kMaxShift;

// A sustained vowel /a/: a glottal pulse train whose pitch glides from f0From to f0To Hz,
// through three formant resonators, peaking near 10000.
std::vector<int16_t> Vowel(size_t count, double f0From, double f0To) {
  std::vector<double> v(count);
  double phase = 0.0;
  double previous = 0.0;
  for (size_t n = 0; n < count; ++n) {
    phase += (f0From + (f0To - f0From) * n / count) / 8000.0;
    const double f = phase - std::floor(phase);
    const double pulse = f < 0.4    ? 0.5 - 0.5 * std::cos(kPi * f / 0.4)
                         : f < 0.56 ? std::cos(kPi * (f - 0.4) / 0.32)
                                    : 0.0;
    v[n] = pulse - previous;
    previous = pulse;
  }
  for (const auto& [formant, bandwidth] : {std::pair{700.0, 80.0}, {1220.0, 90.0}, {2600.0, 120.0}}) {
    const double r = std::exp(-kPi * bandwidth / 8000.0);
    const double a1 = 2 * r * std::cos(2 * kPi * formant / 8000.0);
    double y1 = 0.0, y2 = 0.0;
    for (double& x : v) {
      const double y = x + a1 * y1 - r * r * y2;
      y2 = y1;
      y1 = x = y;
    }
  }
  double peak = 0.0;
  for (double x : v) peak = std::max(peak, std::abs(x));
  std::vector<int16_t> out(count);
  for (size_t n = 0; n < count; ++n) out[n] = static_cast<int16_t>(std::lround(v[n] * 10000.0 / peak));
  return out;
}

// The pitch period (samples) around `at`: the shortest lag, a peak of the normalised
// autocorrelation of the 20 ms before `at`, within 90 % of the highest one.
int PitchLag(const std::vector<int16_t>& x, size_t at) {
  std::vector<double> r(162, 0.0);
  for (int lag = 19; lag <= 161; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t n = at - 160; n < at; ++n) {
      xy += 1.0 * x[n] * x[n + lag];
      xx += 1.0 * x[n] * x[n];
      yy += 1.0 * x[n + lag] * x[n + lag];
    }
    r[lag] = xy / std::sqrt(xx * yy + 1.0);
  }
  const double best = *std::max_element(r.begin() + 20, r.begin() + 161);
  for (int lag = 20; lag <= 160; ++lag) {
    if (r[lag] >= 0.9 * best && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1]) return lag;
  }
  return 0;
}

int MaxJump(const std::vector<int16_t>& x, size_t from, size_t to) {
  int jump = 0;
  for (size_t n = from + 1; n < to && n < x.size(); ++n) jump = std::max(jump, std::abs(x[n] - x[n - 1]));
  return jump;
}

// What a playout buffer does to change its delay steadily: `signal` in blocks of `block`
// samples, each asking for what is still owed of `perBlock` samples per block (positive:
// shorter, negative: longer), at most kMaxShift at once.
struct Scaled {
  std::vector<int16_t> out;
  std::vector<size_t> ends;  // where each block's output ends
};
Scaled Drive(TimeScaler& scaler, const std::vector<int16_t>& signal, int32_t block, double perBlock) {
  Scaled s;
  std::vector<int16_t> buffer(block + kMaxShift);
  for (size_t start = 0; start + block <= signal.size(); start += block) {
    const double owed = (s.ends.size() + 1) * std::abs(perBlock) - std::abs(1.0 * start - 1.0 * s.out.size());
    const int32_t ask = std::clamp(static_cast<int32_t>(owed), 0, kMaxShift);
    const int16_t* in = &signal[start];
    const int32_t length = perBlock > 0 ? scaler.Compress(in, block, buffer.data(), ask)
                                        : scaler.Expand(in, block, buffer.data(), block + kMaxShift, ask);
    s.out.insert(s.out.end(), buffer.begin(), buffer.begin() + length);
    s.ends.push_back(s.out.size());
  }
  return s;
}

// Checks the duration against the one asked, and that no block of the output (with the seam
// before it) jumps from sample to sample more than the input does around that block (a
// click would; the cross-fades keep the output within the input's steps, 1.0 at worst).
void ExpectSmoothAndOnTarget(const std::vector<int16_t>& in, const Scaled& s, int32_t block, double perBlock) {
  const double asked = s.ends.size() * perBlock;
  EXPECT_NEAR(1.0 * s.ends.size() * block - 1.0 * s.out.size(), asked, kMaxShift);
  for (size_t k = 2; k + 1 < s.ends.size(); ++k) {
    const int allowed = MaxJump(in, (k - 2) * block, (k + 2) * block);
    ASSERT_LE(MaxJump(s.out, s.ends[k - 1] - 1, s.ends[k]), 1.2 * allowed + 8) << "block " << k;
  }
}

TEST(TimeScaler, VoicedSpeechKeepsItsPitchWithoutSeams) {
  struct Case {
    double f0From, f0To;
    int32_t block;
    double perBlock;
  };
  // 5 ms per 20 ms block, or 2.5 ms per 10 ms block: a quarter of the duration, either way.
  for (const Case& c : {Case{85, 95, 160, 40}, Case{120, 100, 160, -40}, Case{210, 240, 80, 20},
                        Case{180, 160, 80, -20}}) {
    SCOPED_TRACE(testing::Message() << c.f0From << " Hz, block " << c.block << ", " << c.perBlock);
    const std::vector<int16_t> in = Vowel(24000, c.f0From, c.f0To);
    TimeScaler scaler;
    const Scaled s = Drive(scaler, in, c.block, c.perBlock);
    ExpectSmoothAndOnTarget(in, s, c.block, c.perBlock);
    // Each block's end is the same moment of the input: the pitch there must be the same.
    for (size_t k = 2; s.ends[k] + 161 < s.out.size() && (k + 1) * c.block + 161 < in.size(); ++k) {
      ASSERT_NEAR(PitchLag(s.out, s.ends[k]), PitchLag(in, (k + 1) * c.block), 1) << "block " << k;
    }
  }
}

TEST(TimeScaler, QuietBlocksChangeByWhatIsAskedLoudNoiseStays) {
  const std::vector<int16_t> quiet = test::WhiteNoise(160, 500, 3);  // RMS 290
  const std::vector<int16_t> loud = test::WhiteNoise(160, 8000, 4);
  std::vector<int16_t> burst = quiet;
  std::fill(burst.begin() + 100, burst.begin() + 140, 6000);
  TimeScaler scaler;
  EXPECT_TRUE(scaler.IsQuiet(quiet.data(), 160));
  EXPECT_FALSE(scaler.IsQuiet(burst.data(), 160)) << "5 ms of sound in 20 ms is not quiet";
  std::vector<int16_t> out(400);
  struct Step {
    const std::vector<int16_t>& in;
    int32_t count, capacity, ask, expected;  // capacity 0: Compress
  };
  // In order, on one stream: calls without audio or room change nothing; the limits of a
  // change in quiet; loud noise matches nowhere; right after it a quiet block cannot be
  // lengthened (that would replay the noise), one more can; loud noise again before Reset.
  for (const Step& step : {Step{loud, -1, 0, 40, -1}, Step{loud, 0, 400, 40, 0}, Step{loud, 160, 150, 40, -1},
                           Step{quiet, 160, 0, 37, 123}, Step{quiet, 160, 400, 37, 197},
                           Step{quiet, 160, 0, 500, 40}, Step{quiet, 80, 0, 500, 20},
                           Step{quiet, 160, 190, 500, 190}, Step{quiet, 160, 400, 500, 280},
                           Step{quiet, 160, 0, 19, 160}, Step{loud, 160, 0, 120, 160},
                           Step{loud, 160, 400, 120, 160}, Step{quiet, 160, 400, 120, 160},
                           Step{quiet, 160, 400, 120, 280}, Step{loud, 160, 0, 0, 160}}) {
    const int16_t* in = step.in.data();
    const int32_t length = step.capacity == 0 ? scaler.Compress(in, step.count, out.data(), step.ask)
                                              : scaler.Expand(in, step.count, out.data(), step.capacity, step.ask);
    EXPECT_EQ(length, step.expected) << "count " << step.count << ", capacity " << step.capacity
                                     << ", ask " << step.ask;
  }
  scaler.Reset();
  scaler.NotePlayed(nullptr, 160);  // refused, as is a negative count
  scaler.NotePlayed(loud.data(), -1);
  EXPECT_EQ(scaler.Expand(quiet.data(), 160, out.data(), 400, 120), 280) << "after Reset the history is silence";
}

}  // namespace
}  // namespace ve
