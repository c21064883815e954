#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "rtcp/NtpTime.h"
#include "rtcp/RtcpDialect.h"

namespace ve {

class RtpReceiver;

// What this end knows of one remote source from its RTCP: its SDES texts, its last sender
// report, the layout it speaks and what it last reported about our stream.
struct RtpTranInfo {
  static constexpr int kSdesItems = 7;
  static constexpr int kSdesText = 256;

  uint32_t ssrc = 0;
  char sdes[kSdesItems][kSdesText] = {};
  uint32_t lsr = 0;        // middle 32 bits of the NTP time (as on the wire) of its last SR
  NtpTime srArrival{0, 0}; // local time at which that SR arrived
  RtcpDialect dialect = RtcpDialect::kUndecided;
  bool announcesStandard = false;  // its SDES says it understands the standard layout
  NtpTime lastHeard{0, 0};         // when RTCP of this source last came

  // Its last report block about our stream.
  bool reportedAboutUs = false;
  uint8_t fractionLost = 0;
  int32_t cumulativeLost = 0;
  double jitterMs = 0;
};

// Reads the peer's RTCP: checks each compound datagram, recognises the layout each remote
// source speaks, keeps one RtpTranInfo per remote SSRC, takes the round trip from report
// blocks about our own SSRC (matched against the sender reports we sent) and the one-way delay
// from sender reports whose time it can read. No parse reads past the bytes given, whatever
// the counts and lengths claim.
//
// Which layout a source speaks is decided from its reports and then kept:
//  - an SR whose NTP seconds are 2^31 or more counts from 1900 (standard); a non-zero value
//    below 2^31 counts from 1970 (legacy). This holds until the 1900-based count wraps in
//    2036, when standard seconds become small again; the length rule below still decides.
//  - an SR with NTP time 0, and an RR, decide only when the part is exactly the fixed part
//    plus 24 bytes per block (standard) or 28 bytes per block (legacy), with at least one
//    block.
// A report that contradicts the kept decision is not read, except that a source which
// announced it understands the standard layout may move from legacy to standard. Blocks and
// times of an undecided source are not read at all.
//
// Threads: ReadRtcp runs on the RTCP thread; the figures and records are read from any
// thread. `mutex` guards the records and the sent-report history; the figures are atomics.
class RtcpReceiver {
 public:
  // A hostile peer cannot make the record map grow beyond this many sources.
  static constexpr size_t kMaxRecords = 64;
  static constexpr int kSentReportHistory = 16;
  // SDES PRIV text with which our legacy reports say that the standard layout is understood.
  static constexpr const char* kStandardUnderstood = "standard understood";

  RtcpReceiver() = default;
  RtcpReceiver(const RtcpReceiver&) = delete;
  RtcpReceiver& operator=(const RtcpReceiver&) = delete;

  // The compound-packet check: the first part is a sender or receiver report without the
  // padding flag, and the length fields of the version-2 parts add up exactly to `length`.
  static bool IsValidCompound(const uint8_t* data, int32_t length);
  // The layout one SR or RR part shows by itself (`partBytes` from its length field).
  static RtcpDialect DialectOfReport(const uint8_t* part, int32_t partBytes);
  // Whether a checked compound packet comes from `sender` (the SSRC of one of its reports) or
  // carries a report block about `subject` (in either layout); 0 matches nothing.
  static bool FromOrAbout(const uint8_t* data, int32_t length, uint32_t sender, uint32_t subject);

  // Walks a compound packet: reports, SDES items, BYEs. 1 when it held a BYE, else 0.
  int32_t ReadRtcp(const uint8_t* data, int32_t length);
  int32_t ReadRtcp(const uint8_t* data, int32_t length, const NtpTime& now);

  // Our own SSRC: report blocks about it give the round trip; reports from others that carry
  // it are a collision.
  void SetOwnSsrc(uint32_t ssrc) { ownSsrc = ssrc; }
  // The reception record told about BYEs (not owned; may be null).
  void SetReception(RtpReceiver* reception) { this->reception = reception; }
  // A sender report we sent: its wire NTP time's middle 32 bits and when it left.
  void NoteSenderReportSent(uint32_t middle32, const NtpTime& sentAt);
  // True once per collision seen since the last call.
  bool TakeCollision() { return collision.exchange(false); }

  // The source the engine hears (its RTP SSRC; 0 for none): besides the senders of reports,
  // only it gets a record.
  void SetHeardSsrc(uint32_t ssrc) { heardSsrc = ssrc; }
  // Forgets the records of sources that sent no RTCP for `silentMs`.
  void ExpireSilent(const NtpTime& now, int32_t silentMs);

  // A copy of the record of ssrc; false when there is none.
  bool CopyRecord(uint32_t ssrc, RtpTranInfo* out) const;
  // The LSR and the time of that SR for our report block about ssrc (0 when none).
  uint32_t LastSenderReport(uint32_t ssrc, NtpTime* arrival) const;
  int32_t RecordCount() const;
  // Forgets every record and figure (a new call).
  void Reset();

  int32_t ReportsReceived() const { return reportsReceived; }
  // Mean one-way delay (ms) of the sender reports whose time could be read; -1 if none.
  int32_t DelayAverage() const { return delayAverage; }
  // Report blocks about our stream that gave a round trip, their mean and the last one.
  int32_t RttSamples() const { return rttSamples; }
  int32_t RttAverage() const { return rttAverage; }
  int32_t RttLast() const { return rttLast; }
  // The layout of the last report that was read in a decided layout.
  RtcpDialect PeerDialect() const { return peerDialect; }
  // A remote source was seen to speak, or to understand, the standard layout.
  bool PeerUnderstandsStandard() const { return peerUnderstandsStandard; }

 private:
  void ReadReport(const uint8_t* part, int32_t partLength, int32_t declared, bool senderReport, const NtpTime& now);
  void ReadBlock(const uint8_t* block, RtcpDialect dialect, const NtpTime& now, uint32_t reporter);
  void ReadSdes(const uint8_t* part, int32_t partLength, const NtpTime& now);
  void ReadBye(const uint8_t* part, int32_t partLength);
  // The record of ssrc; a new one only for a report's sender or the heard source
  // (`mayCreate`), and only while the table has room.
  RtpTranInfo* RecordLocked(uint32_t ssrc, bool mayCreate, const NtpTime& now);

  mutable std::mutex mutex;
  std::map<uint32_t, std::unique_ptr<RtpTranInfo>> tranInfoList;
  struct SentReport {
    uint32_t middle32 = 0;
    NtpTime sentAt{0, 0};
  };
  SentReport sentReports[kSentReportHistory];
  int sentReportNext = 0;

  RtpReceiver* reception = nullptr;
  std::atomic<uint32_t> ownSsrc{0};
  std::atomic<uint32_t> heardSsrc{0};
  std::atomic<bool> collision{false};
  std::atomic<int32_t> reportsReceived{0};
  int64_t delaySum = 0;
  int32_t delayCount = 0;
  std::atomic<int32_t> delayAverage{-1};
  int64_t rttSum = 0;
  std::atomic<int32_t> rttSamples{0};
  std::atomic<int32_t> rttAverage{-1};
  std::atomic<int32_t> rttLast{-1};
  std::atomic<RtcpDialect> peerDialect{RtcpDialect::kUndecided};
  std::atomic<bool> peerUnderstandsStandard{false};
};

}  // namespace ve
