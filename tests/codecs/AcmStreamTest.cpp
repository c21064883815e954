#include "codecs/AcmStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

#include "codecs/G711Codec.h"
#include "support/DeviceSignals.h"
#include "support/WavWriter.h"

namespace ve {
namespace {

using test::Bytes;

WAVEFORMATEX Pcm16(uint32_t rate, uint16_t channels) {
  return test::MakeLinearFormat(WAVE_FORMAT_PCM, rate, channels, 16);
}

// Converts `data` in `chunk`-byte pieces the way the file converter does: unconsumed input is
// carried to the front of the source buffer, and the buffers are 16000 bytes (or `dstBytes`).
std::vector<int16_t> ConvertAll(const Bytes& fmt, const Bytes& data, const WAVEFORMATEX& dst, size_t chunk,
                                uint32_t dstBytes = 16000) {
  AcmStream* stream = nullptr;
  EXPECT_EQ(AcmStream::Open(&stream, reinterpret_cast<const WAVEFORMATEX*>(fmt.data()),
                            static_cast<uint32_t>(fmt.size()), &dst, AcmStream::kOpenNonRealtime),
            0);
  if (stream == nullptr) return {};
  Bytes src(16000);
  Bytes out(dstBytes);
  ACMSTREAMHEADER header;
  header.cbStruct = sizeof(header);
  header.pbSrc = src.data();
  header.pbDst = out.data();
  header.cbSrcLength = 16000;
  header.cbDstLength = dstBytes;
  EXPECT_EQ(stream->PrepareHeader(&header), 0);
  header.cbSrcLength = header.cbSrcLengthUsed = 0;
  std::vector<int16_t> result;
  size_t position = 0;
  // Keep calling after the input is used up, marked as its end, until the carried input and
  // the resampler's backlog stop producing.
  for (int idle = 0; idle < 4;) {
    uint32_t carried = header.cbSrcLength - header.cbSrcLengthUsed;
    std::memmove(src.data(), src.data() + header.cbSrcLengthUsed, carried);
    size_t n = std::min(chunk, data.size() - position);
    n = std::min<size_t>(n, 16000 - carried);
    std::memcpy(src.data() + carried, data.data() + position, n);
    position += n;
    header.cbSrcLength = carried + static_cast<uint32_t>(n);
    const uint32_t end = position == data.size() ? AcmStream::kConvertEnd : 0;
    EXPECT_EQ(stream->Convert(&header, AcmStream::kConvertBlockAlign | end), 0);
    EXPECT_EQ(header.cbSrcLengthUsed % reinterpret_cast<const WAVEFORMATEX*>(fmt.data())->nBlockAlign, 0u);
    std::vector<int16_t> got = test::Int16Values(out.data(), header.cbDstLengthUsed);
    result.insert(result.end(), got.begin(), got.end());
    idle = (n == 0 && got.empty()) ? idle + 1 : 0;
  }
  header.cbSrcLength = 16000;
  header.cbDstLength = dstBytes;
  EXPECT_EQ(stream->UnprepareHeader(&header), 0);
  AcmStream::Close(stream);
  return result;
}

struct ToneFit {
  double amplitude;      // of the 1 kHz component, relative to full scale
  double thdPlusNoiseDb; // everything else relative to it
};

// Fits a 1 kHz sine (and a constant) to `n` values of 8 kHz mono from `start`; `n` spans
// whole periods, over which sine and cosine are orthogonal. A tone of another frequency fits
// as noise.
ToneFit Fit1kHz(const std::vector<int16_t>& pcm, size_t start, size_t n) {
  double s = 0, c = 0, mean = 0, variance = 0;
  for (size_t i = 0; i < n; ++i) mean += pcm[start + i];
  mean /= n;
  for (size_t i = 0; i < n; ++i) {
    double phase = 2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 8000.0, x = pcm[start + i] - mean;
    s += x * std::sin(phase) * 2.0 / n;
    c += x * std::cos(phase) * 2.0 / n;
    variance += x * x / n;
  }
  double tone = (s * s + c * c) / 2;
  return {std::sqrt(2 * tone) / 32768.0, 10 * std::log10((variance - tone) / tone)};
}

#ifdef _WIN32
// The system's PCM rate converter has no band-limiting filter. Measured under Wine, a 1 kHz
// tone keeps its level; its THD+N after 44.1 -> 8 kHz is -27.7 dB, after the whole-number
// ratios 48 -> 8 and 16 -> 8 kHz below -95 dB.
constexpr double kToneThdPlusNoiseDb = -25.0;
// The mix of two equal channels to mono: an average keeps the level, Wine's sum doubles it.
bool MixLevelOk(double levelDb, uint16_t channels) {
  return std::abs(levelDb) < 0.5 || (channels == 2 && std::abs(levelDb - 6.02) < 0.5);
}
#else
constexpr double kToneThdPlusNoiseDb = -60.0;
bool MixLevelOk(double levelDb, uint16_t) { return std::abs(levelDb) < 0.5; }
#endif

TEST(AcmStream, OneKilohertzKeepsFrequencyAndLevelAndFiveKilohertzIsNotAliased) {
  const struct {
    const char* what;
    uint16_t tag;
    uint32_t rate;
    uint16_t channels, bits;
    bool extensible;
  } cases[] = {
#ifndef _WIN32
      // The system's converter on Windows has no float and no 32-bit integer PCM.
      {"44.1 kHz stereo float", WAVE_FORMAT_IEEE_FLOAT, 44100, 2, 32, false},
      {"96 kHz extensible stereo 32-bit", WAVE_FORMAT_PCM, 96000, 2, 32, true},
      {"22.05 kHz extensible 64-bit float", WAVE_FORMAT_IEEE_FLOAT, 22050, 1, 64, true},
#endif
      {"48 kHz 24-bit", WAVE_FORMAT_PCM, 48000, 1, 24, false},
      {"16 kHz 16-bit", WAVE_FORMAT_PCM, 16000, 1, 16, false},
      {"8 kHz stereo 16-bit", WAVE_FORMAT_PCM, 8000, 2, 16, false},
      {"44.1 kHz extensible stereo 16-bit", WAVE_FORMAT_PCM, 44100, 2, 16, true},
  };
  const double amplitude = 0.5;  // -6 dBFS
  for (const auto& c : cases) {
    const Bytes fmt = c.extensible ? test::ExtensibleFormatChunk(c.tag, c.rate, c.channels, c.bits, c.bits)
                                   : test::FormatChunk(test::MakeLinearFormat(c.tag, c.rate, c.channels, c.bits));
    Bytes data = test::EncodeSamples(test::Tone(1000, c.rate, amplitude, c.rate, c.channels), c.tag, c.bits);
    size_t frameBytes = c.rate * c.channels * c.bits / 8 / 50;  // 20 ms pieces
    std::vector<int16_t> out = ConvertAll(fmt, data, Pcm16(8000, 1), frameBytes);
    EXPECT_NEAR(static_cast<double>(out.size()), 8000.0, 2.0) << c.what << ": a second in, a second out";
    ToneFit fit = Fit1kHz(out, 800, 4000);
    double level = 20 * std::log10(fit.amplitude / amplitude);
    EXPECT_TRUE(MixLevelOk(level, c.channels)) << c.what;
    EXPECT_LT(fit.thdPlusNoiseDb, kToneThdPlusNoiseDb) << c.what;
    // Output limited to 64 bytes per call loses nothing, with or without a rate change.
    EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 1), frameBytes, 64), out) << c.what;
  }
#ifndef _WIN32
  // A tone above the new Nyquist frequency is removed, not aliased. (The system's converter on
  // Windows does not filter: measured under Wine, a 5 kHz tone comes out at 0 dB as 3 kHz.)
  Bytes fmt = test::FormatChunk(Pcm16(44100, 1));
  std::vector<int16_t> out =
      ConvertAll(fmt, test::EncodeSamples(test::Tone(5000, 44100, amplitude, 44100, 1), WAVE_FORMAT_PCM, 16),
                 Pcm16(8000, 1), 1764);
  ASSERT_GE(out.size(), 6000u);
  double aliasDb = 20 * std::log10(test::Rms(out, 800, 4000) / 32768.0 / (amplitude / std::sqrt(2.0)));
  EXPECT_LT(aliasDb, -60.0);
#endif
}

TEST(AcmStream, ChannelsAreKeptMixedOrCopiedAndEightBitFormatsDecodeExactly) {
  const std::vector<int16_t> stereo = {1000, 3000, -2000, 2000, 32767, 32767, -32768, -32768};
  Bytes fmt = test::FormatChunk(Pcm16(8000, 2));
  Bytes data = test::Int16Bytes(stereo);
  EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 2), 16), stereo);
#ifdef _WIN32
  // The mix to mono is the system's: an average, or (Wine's converter) a sum that clips.
  std::vector<int16_t> mixed = ConvertAll(fmt, data, Pcm16(8000, 1), 16);
  ASSERT_EQ(mixed.size(), 4u);
  EXPECT_TRUE(mixed[0] == 2000 || mixed[0] == 4000) << mixed[0];
  EXPECT_EQ(std::vector<int16_t>(mixed.begin() + 1, mixed.end()), (std::vector<int16_t>{0, 32767, -32768}));
  // More than two channels is refused rather than handed to a converter that cannot do it.
  AcmStream* stream = nullptr;
  WAVEFORMATEX three = Pcm16(8000, 3);
  WAVEFORMATEX one = Pcm16(8000, 1);
  EXPECT_EQ(AcmStream::Open(&stream, &one, sizeof(one), &three, 0), AcmStream::kNotPossible);
  EXPECT_EQ(AcmStream::Open(&stream, &three, sizeof(three), &one, 0), AcmStream::kNotPossible);
#else
  EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 1), 16), (std::vector<int16_t>{2000, 0, 32767, -32768}));
  EXPECT_EQ(ConvertAll(test::FormatChunk(Pcm16(8000, 1)), test::Int16Bytes({5, -7}), Pcm16(8000, 3), 4),
            (std::vector<int16_t>{5, 5, 5, -7, -7, -7}));
  const std::vector<int16_t> eight = {1, 2, 3, 4, 5, 6, 7, 8};  // the most channels a file may have
  EXPECT_EQ(ConvertAll(test::FormatChunk(Pcm16(8000, 8)), test::Int16Bytes(eight), Pcm16(8000, 8), 16), eight);
#endif
  // 8-bit PCM is unsigned around 128; A-law and u-law files decode to the G.711 values.
  EXPECT_EQ(ConvertAll(test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 8)), {0, 128, 255},
                       Pcm16(8000, 1), 3),
            (std::vector<int16_t>{-32768, 0, 32512}));
  Bytes codes(256);
  std::iota(codes.begin(), codes.end(), 0);
  for (uint16_t tag : {WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
    std::vector<int16_t> expected;
    for (uint8_t code : codes)
      expected.push_back(tag == WAVE_FORMAT_ALAW ? G711Codec::ALawToLinear(code) : G711Codec::ULawToLinear(code));
    EXPECT_EQ(ConvertAll(test::FormatChunk(test::MakeLinearFormat(tag, 8000, 1, 8)), codes, Pcm16(8000, 1), 160),
              expected);
  }
}

// The `fmt ` and `data` chunks of a WAV file.
bool ReadWav(const std::string& path, Bytes* fmt, Bytes* data) {
  const Bytes file = test::ReadFile(path);
  for (size_t at = 12; at + 8 <= file.size();) {
    const size_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | static_cast<size_t>(file[at + 7]) << 24;
    const Bytes body(file.begin() + at + 8, file.begin() + std::min(file.size(), at + 8 + size));
    if (std::memcmp(&file[at], "fmt ", 4) == 0) *fmt = body;
    if (std::memcmp(&file[at], "data", 4) == 0) *data = body;
    at += 8 + size + (size & 1);
  }
  if (fmt->size() < sizeof(WAVEFORMATEX)) fmt->resize(sizeof(WAVEFORMATEX));  // 16-byte PCM records
  return !data->empty();
}

TEST(AcmStream, AdpcmDecodesLikeSox) {
#ifdef _WIN32
  GTEST_SKIP() << "sox, the ADPCM reference, runs on Linux only";
#endif
  ASSERT_EQ(std::system("sox --version > /dev/null 2>&1"), 0) << "sox is needed as the ADPCM reference";
  // A sweep with a loud burst: exercises small and large steps and the clamps.
  const size_t frames = 8000;
  for (uint16_t channels : {1, 2}) {
    std::vector<double> signal;
    for (size_t i = 0; i < frames; ++i) {
      double t = static_cast<double>(i) / 8000.0;
      double v = (i > 3000 && i < 3400) ? (i % 7 < 3 ? 0.99 : -0.99)
                                        : 0.3 * std::sin(2 * std::numbers::pi * (200 + 1500 * t) * t);
      for (uint16_t c = 0; c < channels; ++c) signal.push_back(c == 0 ? v : -0.5 * v);
    }
    test::TempFile pcm(test::BuildWav(test::FormatChunk(Pcm16(8000, channels)),
                                      test::EncodeSamples(signal, WAVE_FORMAT_PCM, 16)));
    for (const char* encoding : {"ima-adpcm", "ms-adpcm"}) {
      SCOPED_TRACE(std::string(encoding) + " channels " + std::to_string(channels));
      test::TempFile coded(".wav"), decoded(".wav");
      std::string encode = "sox -D " + pcm.Path() + " -e " + encoding + " " + coded.Path();
      std::string decode = "sox -D " + coded.Path() + " -e signed-integer -b 16 " + decoded.Path();
      ASSERT_EQ(std::system(encode.c_str()), 0);
      ASSERT_EQ(std::system(decode.c_str()), 0);
      Bytes fmt, data, refFmt, refData;
      ASSERT_TRUE(ReadWav(coded.Path(), &fmt, &data));
      ASSERT_TRUE(ReadWav(decoded.Path(), &refFmt, &refData));
      const auto* format = reinterpret_cast<const WAVEFORMATEX*>(fmt.data());
      ASSERT_EQ(format->wFormatTag, std::string(encoding) == "ima-adpcm" ? WAVE_FORMAT_IMA_ADPCM : WAVE_FORMAT_ADPCM);

      std::vector<int16_t> ours = ConvertAll(fmt, data, Pcm16(8000, channels), format->nBlockAlign * 3 + 5);
      std::vector<int16_t> reference = test::Int16Values(refData.data(), refData.size());
      // Whole blocks only: a partial block at the end of the file is never converted.
      ASSERT_GT(ours.size(), frames * channels / 2);
      ASSERT_LE(ours.size(), reference.size());
      reference.resize(ours.size());
      EXPECT_EQ(ours, reference);
      if (format->wFormatTag == WAVE_FORMAT_ADPCM) {
        // A coefficient count of 0 is no table: the standard one, which sox writes, is used.
        fmt[sizeof(WAVEFORMATEX) + 2] = fmt[sizeof(WAVEFORMATEX) + 3] = 0;
        EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, channels), format->nBlockAlign * 3 + 5), ours);
      }
    }
  }
}

TEST(AcmStream, RefusesWhatItCannotConvert) {
  auto refused = [](const Bytes& fmt, const WAVEFORMATEX& dst) {
    AcmStream* stream = nullptr;
    int32_t result = AcmStream::Open(&stream, reinterpret_cast<const WAVEFORMATEX*>(fmt.data()),
                                     static_cast<uint32_t>(fmt.size()), &dst, 0);
    AcmStream::Close(stream);
    return result != 0 && stream == nullptr;
  };
  auto with = [](WAVEFORMATEX f, auto change) {
    change(f);
    return test::FormatChunk(f);
  };
  const WAVEFORMATEX pcm = Pcm16(8000, 1);
  EXPECT_FALSE(refused(test::FormatChunk(pcm), pcm));
  EXPECT_TRUE(refused(test::FormatChunk(pcm), test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 8)));  // 8-bit out
  // Extensible wrappers: a foreign GUID, ADPCM inside.
  Bytes foreign = test::ExtensibleFormatChunk(WAVE_FORMAT_PCM, 8000, 1, 16, 16);
  foreign.back() ^= 1;
  for (const Bytes& fmt : {with(pcm, [](WAVEFORMATEX& f) { f.nBlockAlign = 3; }),
                           with(pcm, [](WAVEFORMATEX& f) { f.wBitsPerSample = 12; }),
                           with(pcm, [](WAVEFORMATEX& f) { f.wFormatTag = 0x55; }),  // MPEG layer 3
                           test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_IEEE_FLOAT, 8000, 1, 16)), foreign,
                           test::ExtensibleFormatChunk(WAVE_FORMAT_IMA_ADPCM, 8000, 1, 4, 4), test::FormatChunk(Pcm16(8000, 9)),
                           with(test::MakeLinearFormat(WAVE_FORMAT_ADPCM, 8000, 1, 8),  // MS ADPCM is 4-bit
                                [](WAVEFORMATEX& f) { f.nBlockAlign = 256; })}) {
    EXPECT_TRUE(refused(fmt, pcm)) << reinterpret_cast<const WAVEFORMATEX*>(fmt.data())->wFormatTag;
  }
}

}  // namespace
}  // namespace ve
