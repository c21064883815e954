#include "platform/RiffFile.h"

#include <gtest/gtest.h>

#include "support/WavWriter.h"

namespace ve::platform {
namespace {

using test::Bytes;
using test::TempFile;

// Opens `file` and descends into its RIFF/WAVE chunk.
void OpenWave(RiffFile& riff, const TempFile& file, MMCKINFO& wave) {
  ASSERT_EQ(riff.Open(file.Name()), 0);
  wave.fccType = kFourCCWave;
  ASSERT_EQ(riff.Descend(&wave, nullptr, RiffFile::kFindRiff), 0);
}

TEST(RiffFile, FindsChunksPastOthersIncludingOddSizedOnesAndSeeksWithinTheFile) {
  // An odd-sized chunk is followed by its pad byte; the search must skip it.
  // A '+' is part of the name, not the marker of an element inside a compound file.
  TempFile file(test::BuildRiff({{"LIST", Bytes(5, 0xAA)}, {"fmt ", Bytes(16, 1)}, {"junk", Bytes(3, 2)},
                                 {"data", {10, 20, 30}}}),
                ".wav+part.wav");
  RiffFile riff;
  MMCKINFO wave;
  OpenWave(riff, file, wave);
  EXPECT_EQ(wave.dwDataOffset, 8u);
  EXPECT_EQ(riff.Position(), 12);

  MMCKINFO fmt;
  fmt.ckid = kFourCCFmt;
  ASSERT_EQ(riff.Descend(&fmt, &wave, RiffFile::kFindChunk), 0);
  EXPECT_EQ(fmt.cksize, 16u);
  EXPECT_EQ(riff.Position(), static_cast<int64_t>(fmt.dwDataOffset));
  ASSERT_EQ(riff.Ascend(&fmt), 0);

  MMCKINFO data;
  data.ckid = kFourCCData;
  ASSERT_EQ(riff.Descend(&data, &wave, RiffFile::kFindChunk), 0);
  EXPECT_EQ(data.cksize, 3u);
  uint8_t bytes[8] = {};
  EXPECT_EQ(riff.Read(bytes, 8), 4);  // the three bytes and the pad byte, then the end
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes[2], 30);
  EXPECT_EQ(riff.Read(bytes, 8), 0);
  // A seek after the end was hit still works.
  EXPECT_EQ(riff.Seek(data.dwDataOffset + 1), static_cast<int64_t>(data.dwDataOffset) + 1);
  EXPECT_EQ(riff.Read(bytes, 1), 1);
  EXPECT_EQ(bytes[0], 20);
  EXPECT_EQ(riff.Seek(riff.FileSize()), riff.FileSize());
  EXPECT_EQ(riff.Read(bytes, 1), 0);
  EXPECT_EQ(riff.Seek(-1), -1);
  EXPECT_EQ(riff.Close(), 0);
  EXPECT_EQ(riff.Position(), -1);
  EXPECT_EQ(riff.Read(bytes, 1), -1);
}

// A search for the data chunk ends with an error: past the end of a RIFF chunk that claims to
// end before it; at a chunk whose size runs past the end of the file; and at a size that, added
// in 32 bits, comes back to the very chunk it belongs to (a search that trusted it would go
// round forever), with or without a parent to bound it.
TEST(RiffFile, SearchStopsAtTheParentsEndAndAtTheFilesEnd) {
  const Bytes cases[] = {test::BuildRiff({{"fmt ", Bytes(16, 1)}, {"data", Bytes(4, 0)}}, 4 + 8 + 16),
                         test::BuildRiff({{"junk", Bytes(4, 0), 0xFFFFFFF0}, {"data", Bytes(4, 0)}}),
                         test::BuildRiff({{"junk", Bytes(4, 0), 0xFFFFFFF8}, {"data", Bytes(4, 0)}})};
  for (const Bytes& bytes : cases) {
    TempFile file(bytes);
    RiffFile riff;
    MMCKINFO wave, data;
    OpenWave(riff, file, wave);
    data.ckid = kFourCCData;
    EXPECT_EQ(riff.Descend(&data, &wave, RiffFile::kFindChunk), -10);
    EXPECT_EQ(riff.Descend(&data, nullptr, RiffFile::kFindChunk), -10);
  }
}

TEST(RiffFile, RejectsWhatIsNotARiffWaveFile) {
  RiffFile riff;
  MMCKINFO wave;
  wave.fccType = kFourCCWave;
  EXPECT_EQ(riff.Open("/nonexistent/none.wav"), -10);
  EXPECT_EQ(riff.Descend(&wave, nullptr, RiffFile::kFindRiff), -10);

  Bytes avi = test::BuildRiff({});
  avi[8] = 'A';  // form type "AAVE"
  for (const Bytes& bytes : {avi, Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A'}, Bytes{}}) {
    TempFile file(bytes);
    ASSERT_EQ(riff.Open(file.Name()), 0);
    EXPECT_EQ(riff.Descend(&wave, nullptr, RiffFile::kFindRiff), -10);
  }
}

}  // namespace
}  // namespace ve::platform
