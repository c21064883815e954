#include "codecs/AcmStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <numeric>
#include <string>
#include <vector>

#include "codecs/G711Codec.h"
#include "platform/RiffFile.h"
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
  header.cbSrcLength = 16000;
  header.pbDst = out.data();
  header.cbDstLength = dstBytes;
  EXPECT_EQ(stream->PrepareHeader(&header), 0);
  header.cbSrcLength = 0;
  header.cbSrcLengthUsed = 0;
  std::vector<int16_t> result;
  size_t position = 0;
  // Keep calling after the input is used up until the carried input and the resampler's
  // backlog stop producing.
  for (int idle = 0; idle < 4;) {
    uint32_t carried = header.cbSrcLength - header.cbSrcLengthUsed;
    std::memmove(src.data(), src.data() + header.cbSrcLengthUsed, carried);
    size_t n = std::min(chunk, data.size() - position);
    n = std::min<size_t>(n, 16000 - carried);
    std::memcpy(src.data() + carried, data.data() + position, n);
    position += n;
    header.cbSrcLength = carried + static_cast<uint32_t>(n);
    EXPECT_EQ(stream->Convert(&header, AcmStream::kConvertBlockAlign), 0);
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
  int crossings;         // upward zero crossings
};

// Fits a 1 kHz sine (and a constant) to `n` values of 8 kHz mono from `start`.
ToneFit Fit1kHz(const std::vector<int16_t>& pcm, size_t start, size_t n) {
  double s = 0, c = 0, mean = 0;
  for (size_t i = 0; i < n; ++i) mean += pcm[start + i];
  mean /= n;
  for (size_t i = 0; i < n; ++i) {
    double phase = 2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 8000.0;
    s += (pcm[start + i] - mean) * std::sin(phase);
    c += (pcm[start + i] - mean) * std::cos(phase);
  }
  s *= 2.0 / n;
  c *= 2.0 / n;
  double residual = 0, signal = 0;
  int crossings = 0;
  for (size_t i = 0; i < n; ++i) {
    double phase = 2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 8000.0;
    double model = s * std::sin(phase) + c * std::cos(phase);
    residual += std::pow(pcm[start + i] - mean - model, 2);
    signal += model * model;
    if (i > 0 && pcm[start + i - 1] < 0 && pcm[start + i] >= 0) ++crossings;
  }
  return {std::hypot(s, c) / 32768.0, 10 * std::log10(residual / signal), crossings};
}

double Rms(const std::vector<int16_t>& pcm, size_t start, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<double>(pcm[start + i]) * pcm[start + i];
  return std::sqrt(sum / n) / 32768.0;
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

TEST(AcmStream, OneKilohertzKeepsFrequencyAndLevelFromCommonFormats) {
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
    ASSERT_GE(out.size(), 6000u) << c.what;  // the resampler holds back its delay
    ToneFit fit = Fit1kHz(out, 800, 4000);
    double level = 20 * std::log10(fit.amplitude / amplitude);
    std::printf("%s: level %+.3f dB, THD+N %.1f dB\n", c.what, level, fit.thdPlusNoiseDb);
    EXPECT_TRUE(MixLevelOk(level, c.channels)) << c.what;
    EXPECT_LT(fit.thdPlusNoiseDb, kToneThdPlusNoiseDb) << c.what;
    EXPECT_NEAR(fit.crossings, 500, 1) << c.what;
    // Output limited to 64 bytes per call loses nothing, with or without a rate change.
    EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 1), frameBytes, 64), out) << c.what;
  }
}

TEST(AcmStream, ToneAboveTheNewNyquistIsRemovedNotAliased) {
#ifdef _WIN32
  GTEST_SKIP() << "the system's PCM converter does not filter before it drops the rate (measured under Wine: "
                  "a 5 kHz tone comes out at 0 dB as its 3 kHz alias)";
#endif
  Bytes fmt = test::FormatChunk(Pcm16(44100, 1));
  Bytes data = test::EncodeSamples(test::Tone(5000, 44100, 0.5, 44100, 1), WAVE_FORMAT_PCM, 16);
  std::vector<int16_t> out = ConvertAll(fmt, data, Pcm16(8000, 1), 1764);
  ASSERT_GE(out.size(), 6000u);
  double inputRms = 0.5 / std::sqrt(2.0);
  double aliasDb = 20 * std::log10(Rms(out, 800, 4000) / inputRms);
  std::printf("5 kHz tone after 44.1 -> 8 kHz: %.1f dB\n", aliasDb);
  EXPECT_LT(aliasDb, -60.0);
}

TEST(AcmStream, ChannelsAreKeptMixedOrCopied) {
  const std::vector<int16_t> stereo = {1000, 3000, -2000, 2000, 32767, 32767, -32768, -32768};
  Bytes fmt = test::FormatChunk(Pcm16(8000, 2));
  Bytes data = test::Int16Bytes(stereo);
  EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 2), 16), stereo);
  Bytes mono = test::Int16Bytes({5, -7});
#ifdef _WIN32
  // The mix to mono is the system's: an average, or (Wine's converter) a sum that clips.
  std::vector<int16_t> mixed = ConvertAll(fmt, data, Pcm16(8000, 1), 16);
  ASSERT_EQ(mixed.size(), 4u);
  EXPECT_TRUE(mixed[0] == 2000 || mixed[0] == 4000) << mixed[0];
  EXPECT_EQ(std::vector<int16_t>(mixed.begin() + 1, mixed.end()), (std::vector<int16_t>{0, 32767, -32768}));
  EXPECT_EQ(ConvertAll(test::FormatChunk(Pcm16(8000, 1)), mono, Pcm16(8000, 2), 4),
            (std::vector<int16_t>{5, 5, -7, -7}));
  // More than two channels is refused rather than handed to a converter that cannot do it.
  AcmStream* stream = nullptr;
  WAVEFORMATEX three = Pcm16(8000, 3);
  WAVEFORMATEX one = Pcm16(8000, 1);
  EXPECT_EQ(AcmStream::Open(&stream, &one, sizeof(one), &three, 0), AcmStream::kNotPossible);
  EXPECT_EQ(AcmStream::Open(&stream, &three, sizeof(three), &one, 0), AcmStream::kNotPossible);
#else
  EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 1), 16), (std::vector<int16_t>{2000, 0, 32767, -32768}));
  EXPECT_EQ(ConvertAll(test::FormatChunk(Pcm16(8000, 1)), mono, Pcm16(8000, 3), 4),
            (std::vector<int16_t>{5, 5, 5, -7, -7, -7}));
#endif
  // 8-bit is unsigned around 128.
  Bytes eight = {0, 128, 255};
  EXPECT_EQ(ConvertAll(test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 8)), eight,
                       Pcm16(8000, 1), 3),
            (std::vector<int16_t>{-32768, 0, 32512}));
}

TEST(AcmStream, G711FilesDecodeToTheG711Values) {
  Bytes codes(256);
  std::iota(codes.begin(), codes.end(), 0);
  for (uint16_t tag : {WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
    WAVEFORMATEX format = test::MakeLinearFormat(tag, 8000, 1, 8);
    std::vector<int16_t> out = ConvertAll(test::FormatChunk(format), codes, Pcm16(8000, 1), 160);
    ASSERT_EQ(out.size(), 256u);
    for (int code = 0; code < 256; ++code) {
      int16_t expected = tag == WAVE_FORMAT_ALAW ? G711Codec::ALawToLinear(static_cast<uint8_t>(code))
                                                 : G711Codec::ULawToLinear(static_cast<uint8_t>(code));
      ASSERT_EQ(out[code], expected) << tag << " code " << code;
    }
    if (tag == WAVE_FORMAT_ALAW) {
      // The extensible wrapper of A-law decodes the same way.
      EXPECT_EQ(ConvertAll(test::ExtensibleFormatChunk(tag, 8000, 1, 8, 8), codes, Pcm16(8000, 1), 160), out);
    }
  }
}

// Reads the `fmt ` and `data` chunks of a WAV file.
bool ReadWav(const std::string& path, Bytes* fmt, Bytes* data) {
  platform::RiffFile riff;
  platform::MMCKINFO wave, chunk;
  wave.fccType = platform::kFourCCWave;
  if (riff.Open(path.c_str()) != 0 || riff.Descend(&wave, nullptr, platform::RiffFile::kFindRiff) != 0) return false;
  chunk.ckid = platform::kFourCCFmt;
  if (riff.Descend(&chunk, &wave, platform::RiffFile::kFindChunk) != 0) return false;
  fmt->resize(std::max<size_t>(chunk.cksize, sizeof(WAVEFORMATEX)));
  if (riff.Read(fmt->data(), static_cast<int32_t>(chunk.cksize)) != static_cast<int32_t>(chunk.cksize)) return false;
  riff.Ascend(&chunk);
  chunk.ckid = platform::kFourCCData;
  if (riff.Descend(&chunk, &wave, platform::RiffFile::kFindChunk) != 0) return false;
  data->resize(chunk.cksize);
  return riff.Read(data->data(), static_cast<int32_t>(chunk.cksize)) == static_cast<int32_t>(chunk.cksize);
}

TEST(AcmStream, AdpcmDecodesLikeSox) {
#ifdef _WIN32
  GTEST_SKIP() << "sox runs on Linux only; on Windows the system's ADPCM decoder is measured by "
                  "AdpcmAt44kStereoGoesToPcm8kMonoThroughTwoSystemStreams";
#endif
  ASSERT_EQ(std::system("sox --version > /dev/null 2>&1"), 0) << "sox is needed as the ADPCM reference";
  // A sweep with a loud burst: exercises small and large steps and the clamps.
  const size_t frames = 8000;
  for (uint16_t channels : {1, 2}) {
    std::vector<double> signal;
    for (size_t i = 0; i < frames; ++i) {
      double t = static_cast<double>(i) / 8000.0;
      double v = 0.3 * std::sin(2 * std::numbers::pi * (200 + 1500 * t) * t);
      if (i > 3000 && i < 3400) v = (i % 7 < 3) ? 0.99 : -0.99;
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
  const Bytes ok = test::FormatChunk(pcm);
  EXPECT_FALSE(refused(ok, pcm));
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.nChannels = 0; }), pcm));
  EXPECT_TRUE(refused(test::FormatChunk(Pcm16(8000, 9)), pcm));
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.nSamplesPerSec = 0; }), pcm));
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.nSamplesPerSec = 1000000; }), pcm));
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.nBlockAlign = 0; }), pcm));
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.nBlockAlign = 3; }), pcm));
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.wBitsPerSample = 12; }), pcm));
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.wFormatTag = 0x55; }), pcm));  // MPEG layer 3
  EXPECT_TRUE(refused(test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_IEEE_FLOAT, 8000, 1, 16)), pcm));
  WAVEFORMATEX ima = test::MakeLinearFormat(WAVE_FORMAT_IMA_ADPCM, 8000, 2, 4);
  ima.nBlockAlign = 7;  // smaller than the two channel headers
  EXPECT_TRUE(refused(test::FormatChunk(ima), pcm));

  // Extensible wrappers: the 18-byte head alone, a cut extension, a foreign GUID, ADPCM inside.
  Bytes extensible = test::ExtensibleFormatChunk(WAVE_FORMAT_PCM, 8000, 1, 16, 16);
  EXPECT_FALSE(refused(extensible, pcm));
  EXPECT_TRUE(refused(Bytes(extensible.begin(), extensible.begin() + 18), pcm));
  EXPECT_TRUE(refused(Bytes(extensible.begin(), extensible.end() - 1), pcm));
  Bytes foreign = extensible;
  foreign.back() ^= 1;
  EXPECT_TRUE(refused(foreign, pcm));
  EXPECT_TRUE(refused(test::ExtensibleFormatChunk(WAVE_FORMAT_IMA_ADPCM, 8000, 1, 4, 4), pcm));

  // Destinations other than 16-bit PCM.
  EXPECT_TRUE(refused(ok, test::MakeLinearFormat(WAVE_FORMAT_PCM, 8000, 1, 8)));
  EXPECT_TRUE(refused(ok, Pcm16(0, 1)));
}

TEST(AcmStream, HeaderProtocolIsEnforced) {
  WAVEFORMATEX pcm = Pcm16(8000, 1);
  AcmStream* stream = nullptr;
  ASSERT_EQ(AcmStream::Open(&stream, &pcm, sizeof(pcm), &pcm, 0), 0);
  uint8_t src[100] = {1, 0, 2, 0, 3};
  uint8_t dst[100] = {};
  ACMSTREAMHEADER header;
  header.cbStruct = sizeof(header);
  header.pbSrc = src;
  header.cbSrcLength = 100;
  header.pbDst = dst;
  header.cbDstLength = 100;
  EXPECT_EQ(stream->Convert(&header, 0), AcmStream::kUnprepared);
  ASSERT_EQ(stream->PrepareHeader(&header), 0);
  header.cbSrcLength = 5;  // two and a half samples: one byte is carried
  ASSERT_EQ(stream->Convert(&header, AcmStream::kConvertBlockAlign), 0);
  EXPECT_EQ(header.cbSrcLengthUsed, 4u);
  EXPECT_EQ(header.cbDstLengthUsed, 4u);
  EXPECT_EQ(test::Int16Values(dst, 4), (std::vector<int16_t>{1, 2}));
  header.cbSrcLength = 101;  // more than was prepared
  EXPECT_NE(stream->Convert(&header, 0), 0);
  header.cbSrcLength = 50;
  EXPECT_NE(stream->UnprepareHeader(&header), 0);  // lengths not restored
  header.cbSrcLength = 100;
  EXPECT_EQ(stream->UnprepareHeader(&header), 0);
  EXPECT_EQ(stream->Convert(&header, 0), AcmStream::kUnprepared);
  AcmStream::Close(stream);
}

#ifdef _WIN32
// An IMA ADPCM format record with its extension (samples per block).
Bytes ImaFormat(uint32_t rate, uint16_t channels, uint16_t blockAlign) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_IMA_ADPCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = blockAlign;
  f.wBitsPerSample = 4;
  uint32_t perBlock = (blockAlign - 4u * channels) * 2 / channels + 1;
  f.nAvgBytesPerSec = rate * blockAlign / perBlock;
  Bytes extra = {static_cast<uint8_t>(perBlock), static_cast<uint8_t>(perBlock >> 8)};
  f.cbSize = static_cast<uint16_t>(extra.size());
  return test::FormatChunk(f, sizeof(WAVEFORMATEX), extra);
}

// Encodes interleaved 16-bit frames as IMA ADPCM blocks of `blockAlign` bytes (the standard
// step tables; the first sample of each block goes into its header).
Bytes EncodeIma(const std::vector<int16_t>& pcm, uint16_t channels, uint16_t blockAlign) {
  static const int kSteps[89] = {
      7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
      31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
      130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
      544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
      2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
      9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
  static const int kIndexMoves[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
  const size_t perBlock = (blockAlign - 4u * channels) * 2 / channels + 1;
  const size_t frames = pcm.size() / channels;
  std::vector<int> predicted(channels, 0), index(channels, 0);
  Bytes out;
  for (size_t start = 0; start + perBlock <= frames; start += perBlock) {
    size_t base = out.size();
    out.resize(base + blockAlign, 0);
    for (uint16_t c = 0; c < channels; ++c) {
      predicted[c] = pcm[start * channels + c];
      out[base + 4 * c] = static_cast<uint8_t>(predicted[c]);
      out[base + 4 * c + 1] = static_cast<uint8_t>(predicted[c] >> 8);
      out[base + 4 * c + 2] = static_cast<uint8_t>(index[c]);
    }
    for (size_t i = 1; i < perBlock; ++i) {
      for (uint16_t c = 0; c < channels; ++c) {
        int diff = pcm[(start + i) * channels + c] - predicted[c];
        int code = diff < 0 ? 8 : 0;
        diff = std::abs(diff);
        int step = kSteps[index[c]];
        int delta = step >> 3;
        for (int bit = 4; bit >= 1; bit >>= 1, step >>= 1) {
          if (diff >= step) {
            code |= bit;
            diff -= step;
            delta += step;
          }
        }
        predicted[c] = std::clamp(predicted[c] + ((code & 8) ? -delta : delta), -32768, 32767);
        index[c] = std::clamp(index[c] + kIndexMoves[code & 7], 0, 88);
        // Groups of eight samples per channel, four bytes each, low nibble first.
        size_t n = i - 1;
        size_t byte = base + 4 * channels + (n / 8) * 4 * channels + 4 * c + (n % 8) / 2;
        out[byte] |= static_cast<uint8_t>((n % 2) ? code << 4 : code);
      }
    }
  }
  return out;
}

TEST(AcmStream, AdpcmAt44kStereoGoesToPcm8kMonoThroughTwoSystemStreams) {
  // The system's ADPCM decoder cannot change rate or channels: the stream chains it with the
  // PCM converter.
  const double amplitude = 0.25;
  std::vector<int16_t> pcm;
  for (double v : test::Tone(1000, 44100, amplitude, 44100, 2)) pcm.push_back(static_cast<int16_t>(std::lround(v * 32767)));
  Bytes fmt = ImaFormat(44100, 2, 2048);
  Bytes data = EncodeIma(pcm, 2, 2048);
  ASSERT_GT(data.size(), 40000u);
  std::vector<int16_t> out = ConvertAll(fmt, data, Pcm16(8000, 1), 3528);  // 20 ms pieces
  ASSERT_GE(out.size(), 7000u);
  ToneFit fit = Fit1kHz(out, 800, 4000);
  double level = 20 * std::log10(fit.amplitude / amplitude);
  std::printf("IMA 44.1 kHz stereo -> 8 kHz mono: level %+.3f dB, THD+N %.1f dB\n", level, fit.thdPlusNoiseDb);
  EXPECT_TRUE(MixLevelOk(level, 2)) << level;
  EXPECT_LT(fit.thdPlusNoiseDb, kToneThdPlusNoiseDb);
  EXPECT_NEAR(fit.crossings, 500, 1);
  // Small destination buffers give the same samples.
  EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 1), 3528, 64), out);
}
#endif

}  // namespace
}  // namespace ve
