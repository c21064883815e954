#include "audio/PlayoutFilter.h"

#include "AudioTestSupport.h"

namespace ve {
namespace {

// Pushed samples must carry their RTP packet, which goes to the core; a pull always gives a
// block of the set length; Prepare forgets what the core held.
TEST(PlayoutFilter, HandsPacketsToTheCoreAndPullsBlocksOfTheSetLength) {
  PlayoutFilter filter;
  for (int32_t ms : {0, 5, 15, 210}) EXPECT_EQ(filter.SetBlockMs(ms), -10) << ms;
  for (int32_t ms : {10, 200, 30}) EXPECT_EQ(filter.SetBlockMs(ms), 0) << ms;
  EXPECT_EQ(filter.BlockMs(), 30);

  EXPECT_EQ(test::Push(filter, test::MakePcm({1, 2})), -10) << "no packet";
  auto push = [&] {
    test::Rtp rtp(8, 7, 1120, 0x1234, std::vector<uint8_t>(160, 0xD5));
    AudioSample* carrier = test::MakePcm({});
    carrier->SetPacket(rtp.packet.release());
    EXPECT_EQ(test::Push(filter, carrier), 0);
  };
  push();
  push();
  EXPECT_EQ(filter.Core().Stats().duplicates, 1) << "both reached the core";
  filter.Prepare();
  push();
  EXPECT_EQ(filter.Core().Stats().duplicates, 0) << "a new call: the packet is new again";

  AudioSample* block = nullptr;
  ASSERT_EQ(filter.GiveNextAudioSample(&block, nullptr), 0);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->DataSize(), 480);
  EXPECT_EQ(block->SilenceMs(), 0);
  EXPECT_EQ(block->Format().wBitsPerSample, 16);
  block->Release();
}

}  // namespace
}  // namespace ve
