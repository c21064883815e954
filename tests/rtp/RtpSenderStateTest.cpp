#include "rtp/RtpSenderState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <unordered_set>

namespace ve {
namespace {

// Sending again within a stream keeps its SSRC and sequence, and moves the timestamp on by the
// time that passed; a new source starts over.
TEST(RtpSenderState, ResumeContinuesTheStreamAndNewSourceStartsAnother) {
  RtpSenderState state;
  for (int i = 0; i < 3; ++i) state.Advance(160, 160);
  const RtpSenderState::Snapshot before = state.Read();
  EXPECT_EQ(static_cast<uint16_t>(before.sequence - before.initialSequence), 3);
  EXPECT_EQ(before.timestamp - before.initialTimestamp, 480u);
  EXPECT_EQ(state.TimestampAt(NtpTime::Add(before.lastSendTime, 1000)), before.timestamp + 8000);

  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the pause between stop and start
  state.Resume();
  state.Advance(20, 160);
  const RtpSenderState::Snapshot after = state.Read();
  EXPECT_EQ(after.ssrc, before.ssrc);
  EXPECT_EQ(static_cast<uint16_t>(after.sequence - before.sequence), 1);
  EXPECT_GE(after.timestamp - before.timestamp, 50u * 8 + 160);
  EXPECT_LT(after.timestamp - before.timestamp, 2000u * 8);
  EXPECT_EQ(after.packetCount, 4u);
  EXPECT_EQ(after.octetCount, 500u);

  const uint32_t renewed = state.NewSource(before.ssrc);
  const RtpSenderState::Snapshot fresh = state.Read();
  EXPECT_NE(renewed, before.ssrc);
  EXPECT_EQ(fresh.ssrc, renewed);
  EXPECT_EQ(fresh.packetCount, 0u);
  EXPECT_EQ(fresh.octetCount, 0u);
  EXPECT_EQ(fresh.timestamp, fresh.initialTimestamp);
  EXPECT_EQ(fresh.sequence, fresh.initialSequence);
}

// SSRC, first timestamp and first sequence number are drawn in full width: among 10 000 new
// sources at most two SSRCs or timestamps repeat (a repeat has a chance of about 1 %), and the
// 16-bit sequence numbers spread as uniform draws do (about 9 300 distinct values).
TEST(RtpSenderState, NewSourcesRarelyRepeat) {
  constexpr int kDraws = 10000;
  RtpSenderState state;
  std::unordered_set<uint32_t> ssrcs, timestamps, sequences;
  for (int i = 0; i < kDraws; ++i) {
    const uint32_t ssrc = state.NewSource();
    ASSERT_NE(ssrc, 0u);
    const RtpSenderState::Snapshot s = state.Read();
    ssrcs.insert(ssrc);
    timestamps.insert(s.initialTimestamp);
    sequences.insert(s.initialSequence);
  }
  EXPECT_GE(ssrcs.size(), static_cast<size_t>(kDraws - 2));
  EXPECT_GE(timestamps.size(), static_cast<size_t>(kDraws - 2));
  EXPECT_GT(sequences.size(), 9000u);
}

}  // namespace
}  // namespace ve
