#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "platform/CriticalSection.h"
#include "platform/Socket.h"
#include "rtcp/NtpTime.h"

namespace ve {

class RtcpPacket;
class RtpReceiver;

// What this end knows of one remote source: the local receive record following it (if any),
// the counts at the last report block sent about it, its SDES texts and its last sender report.
struct RtpTranInfo {
  static constexpr int kSdesItems = 7;
  static constexpr int kSdesText = 256;

  uint32_t ssrc = 0;
  RtpReceiver* recv = nullptr;
  uint32_t expectedPrior = 0;
  uint32_t receivedPrior = 0;
  char sdes[kSdesItems][kSdesText] = {};
  uint32_t lsr = 0;
  NtpTime srArrival;
};

// Reads the peer's RTCP: checks each compound datagram, keeps one RtpTranInfo per remote SSRC
// and running averages of the one-way delay and round-trip time from the peer's reports.
// No parse reads past the bytes received, whatever the counts and lengths claim.
//
// Threads: GetPacket, ReadRtcp and the averages run on the sending thread. AddSource,
// RemoveSource and DetachReceiver also come from the receive thread (through RtpReceiver).
// `lock` guards tranInfoList and the records in it; whoever walks the records with
// getTranInfoCount/GetTranInfo holds RecordsLock() for the walk. The counters are touched
// on the sending thread only.
class RtcpReceiver {
 public:
  // A hostile peer cannot make the record map grow beyond this many sources.
  static constexpr size_t kMaxRecords = 64;

  explicit RtcpReceiver(int32_t port);
  ~RtcpReceiver();
  RtcpReceiver(const RtcpReceiver&) = delete;
  RtcpReceiver& operator=(const RtcpReceiver&) = delete;

  platform::SocketHandle SetSocket(platform::SocketHandle handle);

  // One datagram if one is waiting (never waits), when it passes IsValidCompound; owned by
  // the caller. Null otherwise.
  RtcpPacket* GetPacket();
  // The compound-packet check: the first part is a sender or receiver report without the
  // padding flag, and the length fields of the version-2 parts add up exactly to `length`.
  static bool IsValidCompound(const uint8_t* data, int32_t length);

  // Walks a compound packet: reports, SDES items, BYEs. 1 when it held a BYE, else 0.
  int32_t ReadRtcp(const RtcpPacket* packet);
  int32_t ReadRtcp(const uint8_t* data, int32_t length);

  // Registers the receive record following ssrc; null when the map is full.
  RtpTranInfo* AddSource(uint32_t ssrc, RtpReceiver* recv);
  // The record of ssrc, created (unlinked) when there is none; null when the map is full.
  RtpTranInfo* GetRecord(uint32_t ssrc);
  // Erases the record of ssrc; unknown SSRCs are ignored. The flag is not used.
  void RemoveSource(uint32_t ssrc, int32_t flag);
  // Clears every record's link to recv (it is going away).
  void DetachReceiver(RtpReceiver* recv);

  int32_t getTranInfoCount();
  // The record at `index` in SSRC order, or null for an index out of range.
  RtpTranInfo* GetTranInfo(int32_t index);
  platform::CriticalSection& RecordsLock() { return lock; }

  int32_t Port() const { return port; }
  int32_t ReportsReceived() const { return reportsReceived; }
  int32_t DelaySum() const { return delaySum; }
  int32_t DelayAverage() const { return delayAverage; }
  int32_t RttSum() const { return rttSum; }
  int32_t RttAverage() const { return rttAverage; }
  // Report blocks about our stream that gave a round-trip figure.
  int32_t RttSamples() const { return rttSamples; }
  // Mean round trip over those blocks alone (RttAverage divides by every report), -1 if none.
  int32_t RttBlockAverage() const { return rttBlockAverage; }

 private:
  void ReadReport(const uint8_t* part, int32_t partLength, bool senderReport, const NtpTime& now);
  void ReadSdes(const uint8_t* part, int32_t partLength);
  void ReadBye(const uint8_t* part, int32_t partLength);
  RtpTranInfo* RecordLocked(uint32_t ssrc);

  std::map<uint32_t, RtpTranInfo*> tranInfoList;
  platform::SocketHandle socket = platform::kInvalidSocket;
  int32_t port;
  // Written on the sending thread; the averages and the count are also read by the host's
  // statistics, hence atomic.
  std::atomic<int32_t> reportsReceived{0};
  int32_t delaySum = 0;
  std::atomic<int32_t> delayAverage{0};
  int32_t rttSum = 0;
  std::atomic<int32_t> rttAverage{0};
  std::atomic<int32_t> rttSamples{0};  // report blocks that gave a round trip
  int64_t rttBlockSum = 0;
  std::atomic<int32_t> rttBlockAverage{-1};  // mean over those blocks; -1 before the first
  platform::CriticalSection lock;
};

}  // namespace ve
