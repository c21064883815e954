#include "rtp/RtpSenderState.h"

#include <gtest/gtest.h>


namespace ve {
namespace {

// Spins until the wall clock is at least `ms` past `from`.
NtpTime After(const NtpTime& from, int32_t ms) {
  NtpTime now = NtpTime::Now();
  while (NtpTime::DiffMs(now, from) < ms) now = NtpTime::Now();
  return now;
}

// A stream's counts and times; sending again within it keeps its SSRC and sequence and moves
// the timestamp on by the time that passed; a new source starts over.
TEST(RtpSenderState, ResumeContinuesTheStreamAndNewSourceStartsAnother) {
  const NtpTime created = NtpTime::Now();
  RtpSenderState state;
  for (int i = 0; i < 3; ++i) state.Advance(160, 160);
  const NtpTime sent = NtpTime::Now(), spun = After(sent, 5);
  state.AdvanceTime(80);  // a sample that made no packet moves the clock's reference too
  const NtpTime advanced = NtpTime::Now();
  const RtpSenderState::Snapshot before = state.Read();
  EXPECT_EQ(std::make_tuple(static_cast<uint16_t>(before.sequence - before.initialSequence),
                            before.timestamp - before.initialTimestamp, before.packetCount, before.octetCount),
            std::make_tuple(uint16_t{3}, 560u, 3u, 480u));
  EXPECT_FALSE(before.startTime < created || before.lastSendTime < before.startTime || sent < before.lastSendTime);
  // The sender report's timestamp: the stream's clock at a given time, never behind it.
  EXPECT_EQ(state.TimestampAt(created), before.timestamp);
  const uint32_t inOneSecond = state.TimestampAt(NtpTime::Add(advanced, 1000)) - before.timestamp;
  EXPECT_GE(inOneSecond, 8000u);
  EXPECT_LE(inOneSecond, 8000u + 8 * (NtpTime::DiffMs(advanced, spun) + 1));

  const NtpTime resumed = After(advanced, 30);  // the pause between stop and start
  state.Resume();
  const NtpTime done = NtpTime::Now();
  EXPECT_LE(state.TimestampAt(done) - state.Read().timestamp, 8u * (NtpTime::DiffMs(done, resumed) + 1)) << "the pause counted once";
  state.Advance(20, 160);
  const RtpSenderState::Snapshot after = state.Read();
  EXPECT_EQ(std::make_tuple(after.ssrc, static_cast<uint16_t>(after.sequence - before.sequence), after.packetCount,
                            after.octetCount),
            std::make_tuple(before.ssrc, uint16_t{1}, 4u, 500u));
  const uint32_t paused = after.timestamp - before.timestamp - 160;
  EXPECT_GE(paused, 8u * static_cast<uint32_t>(NtpTime::DiffMs(resumed, advanced)));
  EXPECT_LE(paused, 8u * static_cast<uint32_t>(NtpTime::DiffMs(done, sent) + 1));

  const uint32_t renewed = state.NewSource(before.ssrc);
  const RtpSenderState::Snapshot fresh = state.Read();
  EXPECT_NE(renewed, before.ssrc);
  EXPECT_EQ(std::make_tuple(fresh.ssrc, fresh.packetCount, fresh.octetCount, fresh.timestamp, fresh.sequence),
            std::make_tuple(renewed, 0u, 0u, fresh.initialTimestamp, fresh.initialSequence));
  EXPECT_FALSE(fresh.startTime < done || fresh.lastSendTime < fresh.startTime);
}

}  // namespace
}  // namespace ve
