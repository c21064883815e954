#include "audio/TimeScaler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "support/SignalTools.h"
#include "support/SpeechSynth.h"

#ifdef VE_HAVE_SONIC
#include <sonic.h>
#endif

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

// A sweep, and spoken sentences ending in a pause where whatever is still owed can go.
TEST(TimeScaler, SweepAndSpeechReachTheAskedDurationWithoutClicks) {
  std::vector<std::vector<int16_t>> signals{test::Sweep(32000, 100, 3000, 12000)};
  if (test::SpeechToolsAvailable()) signals.push_back(test::SpeechWithPauses("en-us", 15.0));
  for (const std::vector<int16_t>& in : signals) {
    ASSERT_FALSE(in.empty());
    for (double perBlock : {40.0, -40.0}) {
      TimeScaler scaler;
      ExpectSmoothAndOnTarget(in, Drive(scaler, in, 160, perBlock), 160, perBlock);
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
  // In order, on one stream: the limits of a change in quiet; loud noise matches nowhere; right
  // after it a quiet block cannot be lengthened (that would replay the noise), one more can;
  // loud noise again before Reset.
  for (const Step& step : {Step{quiet, 160, 0, 37, 123}, Step{quiet, 160, 400, 37, 197},
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
  EXPECT_EQ(scaler.Expand(quiet.data(), 160, out.data(), 400, 120), 280) << "after Reset the history is silence";
}

#ifdef VE_HAVE_SONIC

// Log power spectra (dB) of 20 ms Hann-windowed frames every 10 ms, 64 bands up to 4 kHz.
std::vector<std::vector<double>> Spectra(const std::vector<int16_t>& x) {
  static const std::vector<std::complex<double>> basis = [] {
    std::vector<std::complex<double>> b(64 * 160);
    for (int k = 0; k < 64; ++k) {
      for (int n = 0; n < 160; ++n) b[k * 160 + n] = std::polar(0.5 - 0.5 * std::cos(2 * kPi * (n + 0.5) / 160), kPi * k * n / 64);
    }
    return b;
  }();
  std::vector<std::vector<double>> frames;
  for (size_t start = 0; start + 160 <= x.size(); start += 80) {
    std::vector<double> bands(64);
    for (int k = 0; k < 64; ++k) {
      std::complex<double> sum = 0;
      for (int n = 0; n < 160; ++n) sum += double(x[start + n]) * basis[k * 160 + n];
      bands[k] = 10 * std::log10(std::norm(sum) + 1e4);
    }
    frames.push_back(bands);
  }
  return frames;
}

// How closely `test` follows `reference` once their frames are aligned by dynamic time
// warping: the mean log-spectral distance (dB) and the mean correlation of the log spectra
// along the alignment, over the reference frames that hold sound. The alignment strays at
// most 1 s from the straight line between the two ends.
struct Likeness {
  double distance = 0, correlation = 0;
};
Likeness Compare(const std::vector<int16_t>& reference, const std::vector<int16_t>& test) {
  const auto a = Spectra(reference), b = Spectra(test);
  const size_t rows = a.size(), columns = b.size();
  auto distance = [&](size_t i, size_t j) {
    double sum = 0;
    for (int k = 0; k < 64; ++k) sum += (a[i][k] - b[j][k]) * (a[i][k] - b[j][k]);
    return std::sqrt(sum / 64);
  };
  std::vector<double> total(rows * columns, 1e300);  // least summed distance to each pair of frames
  auto before = [&](size_t i, size_t j, size_t di, size_t dj) {
    return i < di || j < dj ? 1e300 : total[(i - di) * columns + j - dj];
  };
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < columns; ++j) {
      if (std::abs(1.0 * j - 1.0 * i * columns / rows) > 100) continue;
      const double best = i + j == 0 ? 0 : std::min({before(i, j, 1, 0), before(i, j, 0, 1), before(i, j, 1, 1)});
      total[i * columns + j] = best + distance(i, j);
    }
  }
  Likeness likeness;
  int cells = 0;
  for (size_t i = rows - 1, j = columns - 1;;) {
    if (*std::max_element(a[i].begin(), a[i].end()) > 90) {
      const double ma = std::accumulate(a[i].begin(), a[i].end(), 0.0) / 64;
      const double mb = std::accumulate(b[j].begin(), b[j].end(), 0.0) / 64;
      double ab = 0, aa = 0, bb = 0;
      for (int k = 0; k < 64; ++k) {
        ab += (a[i][k] - ma) * (b[j][k] - mb);
        aa += (a[i][k] - ma) * (a[i][k] - ma);
        bb += (b[j][k] - mb) * (b[j][k] - mb);
      }
      likeness.distance += distance(i, j);
      likeness.correlation += ab / std::sqrt(aa * bb);
      ++cells;
    }
    if (i == 0 && j == 0) break;
    const double diagonal = before(i, j, 1, 1), up = before(i, j, 1, 0), left = before(i, j, 0, 1);
    if (diagonal <= up && diagonal <= left) {
      --i, --j;
    } else {
      (up <= left ? i : j) -= 1;
    }
  }
  likeness.distance /= cells;
  likeness.correlation /= cells;
  return likeness;
}

std::vector<int16_t> Sonic(const std::vector<int16_t>& x, float speed) {
  sonicStream stream = sonicCreateStream(8000, 1);
  sonicSetSpeed(stream, speed);
  std::vector<short> in(x.begin(), x.end()), out(x.size() * 2);
  sonicWriteShortToStream(stream, in.data(), static_cast<int>(in.size()));
  sonicFlushStream(stream);
  const int count = sonicReadShortFromStream(stream, out.data(), static_cast<int>(out.size()));
  sonicDestroyStream(stream);
  return std::vector<int16_t>(out.begin(), out.begin() + count);
}

TEST(TimeScaler, SpeechQualityIsInTheLeagueOfSonic) {
  if (!test::SpeechToolsAvailable()) GTEST_SKIP() << "espeak-ng and sox are needed";
  const std::vector<int16_t> in = test::SpeechWithPauses("en-us", 15.0);
  ASSERT_FALSE(in.empty());
  for (float speed : {0.9f, 1.1f}) {
    const double perBlock = 160.0 * (1.0 - 1.0 / speed);
    TimeScaler scaler;
    const std::vector<int16_t> ours = Drive(scaler, in, 160, perBlock).out;
    const Likeness o = Compare(in, ours), s = Compare(in, Sonic(in, speed));
    EXPECT_NEAR(1.0 * ours.size(), in.size() / speed, kMaxShift);
    EXPECT_LE(o.distance, 1.15 * s.distance);
    EXPECT_GE(o.correlation, s.correlation - 0.01);
  }
}

#endif  // VE_HAVE_SONIC

}  // namespace
}  // namespace ve
