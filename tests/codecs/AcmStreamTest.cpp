#include "codecs/AcmStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    double phase = 2 * M_PI * 1000.0 * static_cast<double>(i) / 8000.0;
    s += (pcm[start + i] - mean) * std::sin(phase);
    c += (pcm[start + i] - mean) * std::cos(phase);
  }
  s *= 2.0 / n;
  c *= 2.0 / n;
  double residual = 0, signal = 0;
  int crossings = 0;
  for (size_t i = 0; i < n; ++i) {
    double phase = 2 * M_PI * 1000.0 * static_cast<double>(i) / 8000.0;
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

TEST(AcmStream, OneKilohertzKeepsFrequencyAndLevelFromCommonFormats) {
  struct Case {
    const char* what;
    Bytes fmt;
    uint32_t rate;
    uint16_t channels;
    uint16_t tag;
    uint16_t bits;
  };
  const Case cases[] = {
      {"44.1 kHz stereo float", test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_IEEE_FLOAT, 44100, 2, 32)), 44100,
       2, WAVE_FORMAT_IEEE_FLOAT, 32},
      {"48 kHz 24-bit", test::FormatChunk(test::MakeLinearFormat(WAVE_FORMAT_PCM, 48000, 1, 24)), 48000, 1,
       WAVE_FORMAT_PCM, 24},
      {"16 kHz 16-bit", test::FormatChunk(Pcm16(16000, 1)), 16000, 1, WAVE_FORMAT_PCM, 16},
      {"96 kHz extensible stereo 32-bit", test::ExtensibleFormatChunk(WAVE_FORMAT_PCM, 96000, 2, 32, 32), 96000, 2,
       WAVE_FORMAT_PCM, 32},
      {"22.05 kHz extensible 64-bit float", test::ExtensibleFormatChunk(WAVE_FORMAT_IEEE_FLOAT, 22050, 1, 64, 64),
       22050, 1, WAVE_FORMAT_IEEE_FLOAT, 64},
  };
  const double amplitude = 0.5;  // -6 dBFS
  for (const Case& c : cases) {
    Bytes data = test::EncodeSamples(test::Tone(1000, c.rate, amplitude, c.rate, c.channels), c.tag, c.bits);
    size_t frameBytes = c.rate * c.channels * c.bits / 8 / 50;  // 20 ms pieces
    std::vector<int16_t> out = ConvertAll(c.fmt, data, Pcm16(8000, 1), frameBytes);
    ASSERT_GE(out.size(), 6000u) << c.what;  // the resampler holds back its delay
    ToneFit fit = Fit1kHz(out, 800, 4000);
    EXPECT_NEAR(20 * std::log10(fit.amplitude / amplitude), 0.0, 0.5) << c.what;
    EXPECT_LT(fit.thdPlusNoiseDb, -60.0) << c.what;
    EXPECT_NEAR(fit.crossings, 500, 1) << c.what;
    std::printf("%s: level %+.3f dB, THD+N %.1f dB\n", c.what, 20 * std::log10(fit.amplitude / amplitude), fit.thdPlusNoiseDb);
  }
}

TEST(AcmStream, ToneAboveTheNewNyquistIsRemovedNotAliased) {
  Bytes fmt = test::FormatChunk(Pcm16(44100, 1));
  Bytes data = test::EncodeSamples(test::Tone(5000, 44100, 0.5, 44100, 1), WAVE_FORMAT_PCM, 16);
  std::vector<int16_t> out = ConvertAll(fmt, data, Pcm16(8000, 1), 1764);
  ASSERT_GE(out.size(), 6000u);
  double inputRms = 0.5 / std::sqrt(2.0);
  double aliasDb = 20 * std::log10(Rms(out, 800, 4000) / inputRms);
  std::printf("5 kHz tone after 44.1 -> 8 kHz: %.1f dB\n", aliasDb);
  EXPECT_LT(aliasDb, -60.0);
}

TEST(AcmStream, SmallDestinationBuffersLoseNothing) {
  // Output limited to 64 bytes per call must give exactly the samples a roomy buffer gives,
  // with and without a rate change.
  Bytes data = test::EncodeSamples(test::Tone(440, 11025, 0.7, 4000, 2), WAVE_FORMAT_PCM, 16);
  Bytes fmt = test::FormatChunk(Pcm16(11025, 2));
  for (uint32_t rate : {8000u, 11025u}) {
    std::vector<int16_t> roomy = ConvertAll(fmt, data, Pcm16(rate, 1), 441);
    std::vector<int16_t> tight = ConvertAll(fmt, data, Pcm16(rate, 1), 441, 64);
    EXPECT_GT(roomy.size(), 2000u) << rate;
    EXPECT_EQ(tight, roomy) << rate;
  }
}

TEST(AcmStream, ChannelsAreKeptMixedOrCopied) {
  std::vector<int16_t> left = {1000, -2000, 32767, -32768};
  std::vector<int16_t> right = {3000, 2000, 32767, -32768};
  std::vector<int16_t> stereo;
  for (size_t i = 0; i < left.size(); ++i) {
    stereo.push_back(left[i]);
    stereo.push_back(right[i]);
  }
  Bytes fmt = test::FormatChunk(Pcm16(8000, 2));
  Bytes data = test::Int16Bytes(stereo);
  EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 2), 16), stereo);
  EXPECT_EQ(ConvertAll(fmt, data, Pcm16(8000, 1), 16), (std::vector<int16_t>{2000, 0, 32767, -32768}));
  Bytes mono = test::Int16Bytes({5, -7});
  EXPECT_EQ(ConvertAll(test::FormatChunk(Pcm16(8000, 1)), mono, Pcm16(8000, 3), 4),
            (std::vector<int16_t>{5, 5, 5, -7, -7, -7}));
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
      // Reconstruction values from the G.711 tables, scaled to 16 bits.
      EXPECT_EQ(out[0xD5], 8);
      EXPECT_EQ(out[0x55], -8);
      EXPECT_EQ(out[0xAA], 32256);
    } else {
      EXPECT_EQ(out[0xFF], 0);
      EXPECT_EQ(out[0x80], 32124);
      EXPECT_EQ(out[0x00], -32124);
    }
  }
  // The extensible wrapper of A-law decodes the same way.
  std::vector<int16_t> wrapped =
      ConvertAll(test::ExtensibleFormatChunk(WAVE_FORMAT_ALAW, 8000, 1, 8, 8), codes, Pcm16(8000, 1), 160);
  ASSERT_EQ(wrapped.size(), 256u);
  EXPECT_EQ(wrapped[0xD5], 8);
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
  ASSERT_EQ(std::system("sox --version > /dev/null 2>&1"), 0) << "sox is needed as the ADPCM reference";
  // A sweep with a loud burst: exercises small and large steps and the clamps.
  const size_t frames = 8000;
  for (uint16_t channels : {1, 2}) {
    std::vector<double> signal;
    for (size_t i = 0; i < frames; ++i) {
      double t = static_cast<double>(i) / 8000.0;
      double v = 0.3 * std::sin(2 * M_PI * (200 + 1500 * t) * t);
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
  EXPECT_TRUE(refused(with(pcm, [](WAVEFORMATEX& f) { f.wFormatTag = WAVE_FORMAT_G729; }), pcm));
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
  EXPECT_TRUE(refused(ok, test::MakeLinearFormat(WAVE_FORMAT_ALAW, 8000, 1, 8)));
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

}  // namespace
}  // namespace ve
