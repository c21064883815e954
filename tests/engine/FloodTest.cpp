// A call between two vecall processes while a third party floods one side (B) with hostile
// datagrams on its RTP and RTCP ports, from another port of the peer's address and from
// another address: junk, broken RTP of every kind, well-formed RTP of foreign sources (and of
// the peer's own SSRC) that would pass probation if it came from the peer, RTP of payload types
// the engine does not play, and lying, foreign or impersonating RTCP. B must go on hearing
// only A, intact, and its drop counters must account for every hostile datagram.
//
// The call runs through a transparent relay that each side was given as its peer: it forwards
// from the ports the other side expects, so neither latches, and it shows the attacker what an
// observer on the path would see (A's SSRC, sequence numbers and CNAME).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/CallAnalysis.h"
#include "support/SpeechSynth.h"
#include "support/TestProcess.h"
#include "support/TestSockets.h"
#include "support/UdpProbe.h"
#include "support/UdpRelay.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ve::test::JsonNumber;

constexpr double kCallSeconds = 8.0;
// The attack starts once both sides hear each other, at the earliest this far into the call,
// and ends early enough for B to read all of it before it writes its statistics.
constexpr double kAttackFromS = 1.5;
constexpr double kAttackSpreadS = 4.0;
constexpr double kAttackUntilS = 6.0;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kAttackDatagrams = 4000;
#elif defined(_WIN32)
// Windows offers no view of a socket's receive queue to pace by, and the system drops what
// overflows it (under Wine, thousands at the full rate): a lower rate keeps every datagram
// countable.
constexpr int kAttackDatagrams = 2000;
#else
constexpr int kAttackDatagrams = 20000;
#endif
// The attacker keeps B's receive queues below this, so the system drops nothing.
constexpr uint32_t kQueueRoomBytes = 48 * 1024;

constexpr uint8_t kRtcpSr = 200, kRtcpRr = 201, kRtcpSdes = 202, kRtcpBye = 203;

void Put16(Bytes* b, size_t at, uint32_t v) {
  (*b)[at] = static_cast<uint8_t>(v >> 8);
  (*b)[at + 1] = static_cast<uint8_t>(v);
}

void Put32(Bytes* b, size_t at, uint32_t v) {
  Put16(b, at, v >> 16);
  Put16(b, at + 2, v & 0xFFFF);
}

uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Forwards a call between A and B, each of which was given the relay's port pair facing it as
// its peer: what A sends leaves from the pair facing B, and the other way round. Notes A's
// SSRC, latest sequence number and timestamp and the CNAME of A's SDES, and B's SSRC. Its own
// thread relays; Seen may be called from any thread.
class TapRelay {
 public:
  struct Observed {
    uint32_t ssrc = 0;  // A's
    uint32_t ssrcOfB = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t rtpFromA = 0, rtpFromB = 0;
    std::string cname;
  };

  TapRelay(uint16_t portA, uint16_t portB) : portA(portA), portB(portB) {
    if (!BindPair(facingA) || !BindPair(facingB)) return;
    thread = std::thread([this] { Run(); });
  }
  ~TapRelay() {
    stop = true;
    if (thread.joinable()) thread.join();
    for (int fd : {facingA[0], facingA[1], facingB[0], facingB[1]}) ve::test::CloseUdp(fd);
  }

  bool Valid() const { return thread.joinable(); }
  uint16_t PortFacingA() const { return ve::test::LocalPort(facingA[0]); }
  uint16_t PortFacingB() const { return ve::test::LocalPort(facingB[0]); }
  Observed Seen() const {
    std::lock_guard<std::mutex> guard(mutex);
    return seen;
  }

 private:
  static bool BindPair(int (&pair)[2]) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      pair[0] = ve::test::OpenLoopbackUdp(0);
      const uint16_t port = pair[0] >= 0 ? ve::test::LocalPort(pair[0]) : 0;
      pair[1] = port != 0 && port < 65535 ? ve::test::OpenLoopbackUdp(static_cast<uint16_t>(port + 1)) : -1;
      if (pair[1] >= 0) return true;
      ve::test::CloseUdp(pair[0]);
    }
    pair[0] = -1;
    return false;
  }

  void Run() {
    uint8_t buffer[2048];
    while (!stop) {
      if (!ve::test::WaitAnyReadable({facingA[0], facingA[1], facingB[0], facingB[1]}, 20)) continue;
      for (int i = 0; i < 2; ++i) {
        for (int got; (got = ve::test::ReceiveNow(facingA[i], buffer, sizeof buffer)) > 0;) {
          Note(buffer, got, i == 1);
          ve::test::SendToLoopback(facingB[i], buffer, static_cast<size_t>(got), static_cast<uint16_t>(portB + i));
        }
        for (int got; (got = ve::test::ReceiveNow(facingB[i], buffer, sizeof buffer)) > 0;) {
          if (i == 0 && got >= 12) {
            std::lock_guard<std::mutex> guard(mutex);
            seen.ssrcOfB = Get32(buffer + 8);
            ++seen.rtpFromB;
          }
          ve::test::SendToLoopback(facingA[i], buffer, static_cast<size_t>(got), static_cast<uint16_t>(portA + i));
        }
      }
    }
  }

  // One of A's datagrams: RTP gives the stream's place, RTCP the CNAME of A's SDES chunk.
  void Note(const uint8_t* p, int length, bool rtcp) {
    std::lock_guard<std::mutex> guard(mutex);
    if (!rtcp) {
      if (length < 12) return;
      seen.sequence = static_cast<uint16_t>(p[2] << 8 | p[3]);
      seen.timestamp = Get32(p + 4);
      seen.ssrc = Get32(p + 8);
      ++seen.rtpFromA;
      return;
    }
    for (int at = 0; at + 8 <= length;) {
      const int bytes = (p[at + 2] << 8 | p[at + 3]) * 4 + 4;
      if (p[at + 1] == kRtcpSdes && Get32(p + at + 4) == seen.ssrc) {
        for (int item = at + 8; item + 2 <= std::min(length, at + bytes) && p[item] != 0; item += 2 + p[item + 1]) {
          if (p[item] == 1 && item + 2 + p[item + 1] <= length) {
            seen.cname.assign(reinterpret_cast<const char*>(p + item + 2), p[item + 1]);
          }
        }
      }
      at += bytes;
    }
  }

  uint16_t portA, portB;
  int facingA[2] = {-1, -1};
  int facingB[2] = {-1, -1};
  std::atomic<bool> stop{false};
  mutable std::mutex mutex;
  Observed seen;
  std::thread thread;
};

// What the port a datagram goes to should make of it: malformed (no RTP packet at the RTP
// port, no RTCP compound at the RTCP port), well-formed (so dropped for where it came from
// only), or either (junk, and RTCP sent to the RTP port).
enum class Expect { kMalformed, kWellFormed, kEither };

enum Kind {
  kJunk,
  kRtpTooShort,
  kRtpWrongVersion,
  kRtpCsrcPastEnd,
  kRtpPaddingPastEnd,
  kRtpExtensionOverrun,
  kRtpForeignSpeech,
  kRtpPeerSsrcAhead,
  kRtpWithExtension,
  kRtpUnknownPayloadType,
  kRtcpLyingLength,
  kRtcpNotLeadingWithReport,
  kRtcpSdes31Chunks,
  kRtcpForeignSr,
  kRtcpByeForPeer,
  kRtcpImpersonation,
  kKindCount
};

const char* const kKindNames[kKindCount] = {
    "junk",
    "rtp too short",
    "rtp wrong version",
    "rtp csrc count past end",
    "rtp padding past end",
    "rtp extension overrun",
    "rtp foreign speech",
    "rtp peer ssrc ahead",
    "rtp valid extension",
    "rtp unknown payload type",
    "rtcp lying length",
    "rtcp without leading report",
    "rtcp sdes 31 chunks",
    "rtcp foreign sr",
    "rtcp bye for peer",
    "rtcp impersonating peer",
};

struct Datagram {
  Bytes bytes;
  bool toRtcp = false;
  Expect expect = Expect::kEither;
};

// Builds the hostile datagrams, one burst at a time, from a fixed seed.
class Attacker {
 public:
  Attacker(uint32_t peerSsrc, uint32_t ownSsrc) : peerSsrc(peerSsrc), ownSsrc(ownSsrc) {}

  // A burst of datagrams of one kind (several for a source's packets in sequence).
  std::vector<Datagram> Burst(Kind kind, uint16_t peerSequence, uint32_t peerTimestamp) {
    std::vector<Datagram> burst;
    const bool rtpKind = kind < kRtcpLyingLength;
    // Mostly to the port of their kind; some to the other one, as to a peer that multiplexes.
    const bool toRtcp = kind == kJunk ? Chance(0.5) : (rtpKind ? Chance(0.15) : !Chance(0.15));
    // What the datagram is as RTP, and as RTCP. No RTP of ours is an RTCP compound (none has
    // a report's type byte); RTCP may or may not parse as RTP.
    auto add = [&](Bytes bytes, Expect asRtp, Expect asRtcp) {
      burst.push_back({std::move(bytes), toRtcp, toRtcp ? asRtcp : asRtp});
    };
    auto addRtp = [&](Bytes bytes, Expect asRtp) { add(std::move(bytes), asRtp, Expect::kMalformed); };
    auto addRtcp = [&](Bytes bytes, Expect asRtcp) { add(std::move(bytes), Expect::kEither, asRtcp); };
    switch (kind) {
      case kJunk:
        add(Random(Uniform(1, 1400)), Expect::kEither, Expect::kEither);
        break;
      case kRtpTooShort: {
        Bytes b = Rtp(8, Next16(), Next32(), Foreign(), 0);
        b.resize(Uniform(1, 11));
        addRtp(b, Expect::kMalformed);
        break;
      }
      case kRtpWrongVersion: {
        Bytes b = Rtp(8, Next16(), Next32(), Chance(0.5) ? peerSsrc : Foreign(), 160);
        b[0] = static_cast<uint8_t>((b[0] & 0x3F) | (Uniform(0, 2) == 2 ? 3 : Uniform(0, 1)) << 6);
        addRtp(b, Expect::kMalformed);
        break;
      }
      case kRtpCsrcPastEnd: {
        const int csrcs = Uniform(1, 15);
        Bytes b = Rtp(0, Next16(), Next32(), Foreign(), 0);
        b[0] |= static_cast<uint8_t>(csrcs);
        b.resize(12 + 4 * Uniform(0, csrcs - 1) + Uniform(0, 3));
        addRtp(b, Expect::kMalformed);
        break;
      }
      case kRtpPaddingPastEnd: {
        Bytes b = Rtp(8, Next16(), Next32(), Foreign(), Uniform(1, 200));
        b[0] |= 0x20;
        b.back() = static_cast<uint8_t>(Uniform(static_cast<int>(b.size()) - 11, 255));
        addRtp(b, Expect::kMalformed);
        break;
      }
      case kRtpExtensionOverrun: {
        Bytes b = Rtp(8, Next16(), Next32(), Foreign(), 0);
        b[0] |= 0x10;
        if (Chance(0.3)) {
          b.resize(12 + Uniform(0, 3));  // no room for the extension's head
        } else {
          const int words = Uniform(1, 300);
          b.resize(16 + 4 * Uniform(0, std::min(words - 1, 200)));
          Put16(&b, 12, 0xBEDE);
          Put16(&b, 14, static_cast<uint32_t>(words));
        }
        addRtp(b, Expect::kMalformed);
        break;
      }
      case kRtpForeignSpeech: {
        // A new source's packets in sequence, each 20 ms of one of the payload types B plays:
        // from the peer's place they would pass probation and be heard.
        static constexpr uint8_t kTypes[] = {0, 8, 18};
        const uint8_t type = kTypes[Uniform(0, 2)];
        const uint32_t ssrc = Foreign();
        uint16_t sequence = Next16();
        uint32_t timestamp = Next32();
        for (int i = Uniform(2, 6); i > 0; --i, ++sequence, timestamp += 160) {
          addRtp(Rtp(type, sequence, timestamp, ssrc, type == 18 ? 20 : 160), Expect::kWellFormed);
        }
        break;
      }
      case kRtpPeerSsrcAhead: {
        // The peer's own stream a little ahead: taken, they would make its real packets duplicates.
        uint16_t sequence = static_cast<uint16_t>(peerSequence + Uniform(1, 40));
        uint32_t timestamp = peerTimestamp + 160u * static_cast<uint16_t>(sequence - peerSequence);
        for (int i = Uniform(2, 4); i > 0; --i, ++sequence, timestamp += 160) {
          addRtp(Rtp(8, sequence, timestamp, peerSsrc, 160), Expect::kWellFormed);
        }
        break;
      }
      case kRtpWithExtension: {
        const uint32_t ssrc = Chance(0.5) ? peerSsrc : Foreign();
        uint16_t sequence = Next16();
        for (int i = 2; i > 0; --i, ++sequence) {
          const int words = Uniform(0, 4);
          Bytes b = Rtp(8, sequence, Next32(), ssrc, 0);
          b[0] |= 0x10;
          Bytes extension = Random(4 + 4 * static_cast<size_t>(words));
          Put16(&extension, 0, 0xBEDE);
          Put16(&extension, 2, static_cast<uint32_t>(words));
          b.insert(b.end(), extension.begin(), extension.end());
          Bytes payload = Random(160);
          b.insert(b.end(), payload.begin(), payload.end());
          addRtp(b, Expect::kWellFormed);
        }
        break;
      }
      case kRtpUnknownPayloadType: {
        const uint8_t type = Chance(0.5) ? 96 : 101;
        const uint32_t ssrc = Chance(0.5) ? peerSsrc : Foreign();
        uint16_t sequence = Next16();
        for (int i = 2; i > 0; --i, ++sequence) {
          addRtp(Rtp(type, sequence, Next32(), ssrc, type == 101 ? 4 : 160), Expect::kWellFormed);
        }
        break;
      }
      case kRtcpLyingLength: {
        Bytes b = Report(kRtcpRr, Foreign(), false, {Foreign()});
        switch (Uniform(0, 3)) {
          case 0:  // claims more than was sent
            Put16(&b, 2, ((b.size() / 4) - 1) + static_cast<uint32_t>(Uniform(1, 60)));
            break;
          case 1: {  // claims less: the next "part" is the rest of the report, which is no part
            Put16(&b, 2, 1);
            b[8] = static_cast<uint8_t>(b[8] & 0x3F);
            break;
          }
          case 2: {  // a valid report, then an SDES that runs past the end
            Bytes s = Sdes({{Foreign(), "mallory@example.net"}});
            Put16(&s, 2, ((s.size() / 4) - 1) + static_cast<uint32_t>(Uniform(1, 100)));
            b.insert(b.end(), s.begin(), s.end());
            break;
          }
          default:  // the largest length there is
            Put16(&b, 2, 0xFFFF);
            break;
        }
        addRtcp(b, Expect::kMalformed);
        break;
      }
      case kRtcpNotLeadingWithReport: {
        Bytes b;
        switch (Uniform(0, 2)) {
          case 0:
            b = Sdes({{Foreign(), "mallory@example.net"}});
            break;
          case 1:
            b = Bye(peerSsrc);
            break;
          default:  // a report whose first part claims padding
            b = Report(kRtcpRr, Foreign(), false, {});
            b[0] |= 0x20;
            break;
        }
        addRtcp(b, Expect::kMalformed);
        break;
      }
      case kRtcpSdes31Chunks: {
        std::vector<std::pair<uint32_t, std::string>> chunks;
        for (int i = 0; i < 31; ++i) chunks.push_back({Foreign(), "user" + std::to_string(i) + "@flood.example"});
        Bytes b = Report(kRtcpRr, Foreign(), false, {});
        Bytes s = Sdes(chunks);
        b.insert(b.end(), s.begin(), s.end());
        addRtcp(b, Expect::kWellFormed);
        break;
      }
      case kRtcpForeignSr: {
        // Sender reports of either layout, about foreign sources and about the peer.
        const uint32_t ssrc = Foreign();
        Bytes b = Report(kRtcpSr, ssrc, Chance(0.5), {Foreign(), peerSsrc});
        Bytes s = Sdes({{ssrc, "foreign" + std::to_string(ssrc) + "@flood.example"}});
        b.insert(b.end(), s.begin(), s.end());
        addRtcp(b, Expect::kWellFormed);
        break;
      }
      case kRtcpByeForPeer: {
        // A foreign reporter that says the peer left, under a new CNAME.
        Bytes b = Report(kRtcpRr, Foreign(), false, {peerSsrc});
        for (const Bytes& part : {Sdes({{peerSsrc, "mallory@example.net"}}), Bye(peerSsrc)}) {
          b.insert(b.end(), part.begin(), part.end());
        }
        addRtcp(b, Expect::kWellFormed);
        break;
      }
      case kRtcpImpersonation: {
        // The peer's own SSRC as the sender, sent only from another address, where it is not
        // the peer (from the peer's address it would be taken: the peer's RTCP may come from
        // any of its ports).
        Bytes b = Report(kRtcpSr, peerSsrc, false, {Foreign()});
        for (const Bytes& part : {Sdes({{peerSsrc, "mallory@example.net"}}), Bye(peerSsrc)}) {
          b.insert(b.end(), part.begin(), part.end());
        }
        addRtcp(b, Expect::kWellFormed);
        break;
      }
      default:
        break;
    }
    return burst;
  }

  Kind PickKind() {
    // Weights per kind, in the order of Kind.
    static constexpr int kWeights[kKindCount] = {12, 4, 4, 4, 4, 4, 14, 4, 4, 4, 6, 4, 4, 6, 6, 4};
    std::discrete_distribution<int> pick(std::begin(kWeights), std::end(kWeights));
    return static_cast<Kind>(pick(random));
  }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random); }

 private:
  int Uniform(int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); }
  uint16_t Next16() { return static_cast<uint16_t>(random()); }
  uint32_t Next32() { return static_cast<uint32_t>(random()); }
  uint32_t Foreign() {
    for (;;) {
      const uint32_t ssrc = Next32();
      if (ssrc != peerSsrc && ssrc != ownSsrc && ssrc != 0) return ssrc;
    }
  }
  Bytes Random(size_t count) {
    Bytes b(count);
    for (auto& v : b) v = static_cast<uint8_t>(random());
    return b;
  }
  // A loud random payload: if it were played, it would be heard.
  Bytes Rtp(uint8_t type, uint16_t sequence, uint32_t timestamp, uint32_t ssrc, size_t payload) {
    Bytes b = Random(12 + payload);
    b[0] = 0x80;
    b[1] = type;
    Put16(&b, 2, sequence);
    Put32(&b, 4, timestamp);
    Put32(&b, 8, ssrc);
    return b;
  }
  static void Header(Bytes* b, uint8_t count, uint8_t type) {
    (*b)[0] = static_cast<uint8_t>(0x80 | count);
    (*b)[1] = type;
    Put16(b, 2, static_cast<uint32_t>(b->size() / 4 - 1));
  }
  // A sender or receiver report with one block per `about` source: 24-byte blocks and NTP
  // time from 1900, or the legacy layout's 28-byte blocks and time from 1970.
  Bytes Report(uint8_t type, uint32_t ssrc, bool legacy, const std::vector<uint32_t>& about) {
    const size_t fixed = type == kRtcpSr ? 28 : 8, block = legacy ? 28 : 24;
    Bytes b = Random(fixed + block * about.size());
    Put32(&b, 4, ssrc);
    if (type == kRtcpSr) {
      const uint32_t unixSeconds = static_cast<uint32_t>(std::time(nullptr));
      Put32(&b, 8, legacy ? unixSeconds : unixSeconds + 2208988800u);
    }
    for (size_t i = 0; i < about.size(); ++i) Put32(&b, fixed + i * block, about[i]);
    Header(&b, static_cast<uint8_t>(about.size()), type);
    return b;
  }
  static Bytes Sdes(const std::vector<std::pair<uint32_t, std::string>>& chunks) {
    Bytes b(4);
    for (const auto& [ssrc, cname] : chunks) {
      const size_t at = b.size();
      b.resize(at + 4);
      Put32(&b, at, ssrc);
      b.push_back(1);
      b.push_back(static_cast<uint8_t>(cname.size()));
      b.insert(b.end(), cname.begin(), cname.end());
      do b.push_back(0);
      while (b.size() % 4 != 0);
    }
    Header(&b, static_cast<uint8_t>(chunks.size()), kRtcpSdes);
    return b;
  }
  static Bytes Bye(uint32_t ssrc) {
    static const std::string kReason = "gone";
    Bytes b(8);
    Put32(&b, 4, ssrc);
    b.push_back(static_cast<uint8_t>(kReason.size()));
    b.insert(b.end(), kReason.begin(), kReason.end());
    while (b.size() % 4 != 0) b.push_back(0);
    Header(&b, 1, kRtcpBye);
    return b;
  }

  uint32_t peerSsrc, ownSsrc;
  std::mt19937 random{20240611};
};

// What was sent where: in all, and by what the receiving port should make of it.
struct Tally {
  uint64_t sent = 0, rtp = 0, rtcp = 0, fromOtherAddress = 0;
  uint64_t rtpMalformed = 0, rtpWellFormed = 0, rtcpMalformed = 0, rtcpWellFormed = 0;
  uint64_t heldBack = 0;  // pauses for room in B's receive queues
  double seconds = 0;
  uint64_t byKind[kKindCount][2] = {};  // [kind][0 RTP port, 1 RTCP port]

  void Count(Kind kind, const Datagram& d, bool otherAddress) {
    ++sent;
    ++(d.toRtcp ? rtcp : rtp);
    ++byKind[kind][d.toRtcp ? 1 : 0];
    fromOtherAddress += otherAddress ? 1 : 0;
    if (d.expect == Expect::kMalformed) ++(d.toRtcp ? rtcpMalformed : rtpMalformed);
    if (d.expect == Expect::kWellFormed) ++(d.toRtcp ? rtcpWellFormed : rtpWellFormed);
  }

  void Print() const {
    std::printf(
        "attack: %llu datagrams in %.2f s (%llu from 127.0.0.2; held back %llu times for room at B): "
        "%llu to RTP (%llu malformed, %llu well-formed as built), %llu to RTCP (%llu malformed, %llu "
        "well-formed)\n",
        U(sent), seconds, U(fromOtherAddress), U(heldBack), U(rtp), U(rtpMalformed), U(rtpWellFormed), U(rtcp),
        U(rtcpMalformed), U(rtcpWellFormed));
    for (int k = 0; k < kKindCount; ++k) {
      std::printf("  %-28s RTP %6llu  RTCP %6llu\n", kKindNames[k], U(byKind[k][0]), U(byKind[k][1]));
    }
  }
  static unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }
};

// Sends kAttackDatagrams hostile datagrams to B's ports (portB, portB + 1), half from
// `otherAddress` when it is a socket, the rest from `peerAddress`; evenly over kAttackSpreadS
// at most, ending in any case kAttackUntilS after `callStart`.
Tally Flood(const TapRelay& relay, uint16_t portB, int peerAddress, int otherAddress, Clock::time_point callStart) {
  auto sinceStart = [&] { return std::chrono::duration<double>(Clock::now() - callStart).count(); };
  TapRelay::Observed seen = relay.Seen();
  Attacker attacker(seen.ssrc, seen.ssrcOfB);
  Tally tally;
  const double from = sinceStart();
  uint64_t nextQueueCheck = 0;
  while (tally.sent < static_cast<uint64_t>(kAttackDatagrams) && sinceStart() < kAttackUntilS) {
    if (sinceStart() - from < tally.sent * (kAttackSpreadS / kAttackDatagrams)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (tally.sent >= nextQueueCheck) {
      const ve::test::ReceiveQueue rtpQueue = ve::test::ReadReceiveQueue(portB);
      const ve::test::ReceiveQueue rtcpQueue = ve::test::ReadReceiveQueue(static_cast<uint16_t>(portB + 1));
      if (rtpQueue.queuedBytes > kQueueRoomBytes || rtcpQueue.queuedBytes > kQueueRoomBytes) {
        ++tally.heldBack;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      nextQueueCheck = tally.sent + 16;
    }
    const bool other = otherAddress >= 0 && attacker.Chance(0.5);
    Kind kind = attacker.PickKind();
#ifdef _WIN32
    // Under Wine a datagram from another loopback address may arrive as from 127.0.0.1, where
    // the peer's SSRC as sender is the peer's by design: no impersonation there.
    if (kind == kRtcpImpersonation) kind = kRtcpByeForPeer;
#else
    if (kind == kRtcpImpersonation && !other) kind = kRtcpByeForPeer;
#endif
    seen = relay.Seen();
    for (const Datagram& d : attacker.Burst(kind, seen.sequence, seen.timestamp)) {
      if (tally.sent == static_cast<uint64_t>(kAttackDatagrams)) break;
      const uint16_t to = static_cast<uint16_t>(portB + (d.toRtcp ? 1 : 0));
      if (!ve::test::SendToLoopback(other ? otherAddress : peerAddress, d.bytes.data(), d.bytes.size(), to)) {
        ADD_FAILURE() << "a datagram could not be sent";
        return tally;
      }
      tally.Count(kind, d, other);
    }
  }
  tally.seconds = sinceStart() - from;
  return tally;
}

uint64_t Drops(const std::string& stats, const char* reason) {
  return static_cast<uint64_t>(JsonNumber(stats, "drops", reason));
}

TEST(Flood, CallSurvivesHostileDatagramsAndCountsEach) {
  if (!ve::test::SpeechToolsAvailable()) GTEST_SKIP() << "espeak-ng and sox are needed for test speech";
  const std::vector<int16_t> aSays = ve::test::SpeechWithPauses("en-us", kCallSeconds - 1.5);
  const std::vector<int16_t> bSays = ve::test::SpeechWithPauses("en-gb", kCallSeconds - 1.5);
  ASSERT_FALSE(aSays.empty() || bSays.empty());
  using ve::test::CallTempPath;
  const std::string aSaysPath = CallTempPath("flood-a-says.wav"), bSaysPath = CallTempPath("flood-b-says.wav");
  const std::string heardA = CallTempPath("flood-a-heard.wav"), heardB = CallTempPath("flood-b-heard.wav");
  const std::string statsAPath = CallTempPath("flood-a.json"), statsBPath = CallTempPath("flood-b.json");
  ve::test::WriteMonoWav(aSaysPath, aSays);
  ve::test::WriteMonoWav(bSaysPath, bSays);

  const uint16_t portA = ve::test::FreePortPair(), portB = ve::test::FreePortPair();
  TapRelay relay(portA, portB);
  ASSERT_TRUE(relay.Valid());
  const int fromPeerAddress = ve::test::OpenLoopbackUdp(0);
  const int fromOtherAddress = ve::test::OpenUdpOn("127.0.0.2", 0);
  ASSERT_GE(fromPeerAddress, 0);
  if (fromOtherAddress < 0) std::printf("no socket on 127.0.0.2: the attack comes from 127.0.0.1 only\n");

  const auto callStart = Clock::now();
  auto sinceStart = [&] { return std::chrono::duration<double>(Clock::now() - callStart).count(); };
  ve::test::ChildProcess a(ve::test::VecallCommand(VECALL_PATH, portA, relay.PortFacingA(), "pcma", aSaysPath, heardA,
                                                   kCallSeconds, statsAPath));
  ve::test::ChildProcess b(ve::test::VecallCommand(VECALL_PATH, portB, relay.PortFacingB(), "pcma", bSaysPath, heardB,
                                                   kCallSeconds, statsBPath));

  // Both sides speak (half a second of each has passed the relay) before the attack begins.
  TapRelay::Observed seen;
  while (sinceStart() < kAttackFromS + 3.0) {
    seen = relay.Seen();
    if (sinceStart() >= kAttackFromS && seen.rtpFromA >= 25 && seen.rtpFromB >= 25) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(seen.rtpFromA, 25u);
  ASSERT_GE(seen.rtpFromB, 25u);
  const Tally tally = Flood(relay, portB, fromPeerAddress, fromOtherAddress, callStart);

  // B reads what is queued. The system must have dropped nothing at B's sockets for the
  // engine's counters to be compared with what was sent.
  ve::test::ReceiveQueue rtpQueue, rtcpQueue;
  for (int i = 0; i < 100; ++i) {
    rtpQueue = ve::test::ReadReceiveQueue(portB);
    rtcpQueue = ve::test::ReadReceiveQueue(static_cast<uint16_t>(portB + 1));
    if (rtpQueue.queuedBytes == 0 && rtcpQueue.queuedBytes == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(rtpQueue.drops + rtcpQueue.drops, 0u) << "the system dropped datagrams at B's sockets";
  for (int fd : {fromPeerAddress, fromOtherAddress}) ve::test::CloseUdp(fd);

  ASSERT_EQ(a.Wait(static_cast<int>(kCallSeconds) + 60), 0);
  ASSERT_EQ(b.Wait(static_cast<int>(kCallSeconds) + 60), 0);
  const std::string statsA = ve::test::ReadText(statsAPath), statsB = ve::test::ReadText(statsBPath);
  const ve::test::HeardSpeech aToB = ve::test::AnalyseHeardSpeech(aSays, heardB, statsA, statsB);
  const ve::test::HeardSpeech bToA = ve::test::AnalyseHeardSpeech(bSays, heardA, statsB, statsA);
  seen = relay.Seen();

  tally.Print();
  const size_t drops = statsB.find("\"drops\"");
  std::printf("B's %s\n", drops == std::string::npos
                              ? "drops: none"
                              : statsB.substr(drops, statsB.find('}', drops) - drops + 1).c_str());
  std::printf(
      "A->B: segSNR %.1f dB, missing %.1f%%, pauses %.1f dBFS over %d frames, delay %.0f ms; B->A: segSNR "
      "%.1f dB, missing %.1f%%; B's jitter %.2f ms, lost %.0f\n",
      aToB.segmentalSnr, 100 * aToB.missingShare, aToB.pauseLevelDbfs, aToB.pauseFrames, aToB.delayMs,
      bToA.segmentalSnr, 100 * bToA.missingShare, JsonNumber(statsB, "rtp", "jitter_ms"),
      JsonNumber(statsB, "rtp", "lost"));

  // A's speech reaches B as in a quiet call, and nothing of the attack is heard in its pauses
  // (a clean call plays digital silence there; one attacker frame would be near full scale).
  EXPECT_GT(aToB.segmentalSnr, 20.0);
  EXPECT_LT(aToB.missingShare, 0.10);
  EXPECT_GT(aToB.pauseFrames, 20);
  EXPECT_LT(aToB.pauseLevelDbfs, -60.0);
  EXPECT_GT(bToA.segmentalSnr, 20.0);
  EXPECT_LT(JsonNumber(statsB, "rtp", "jitter_ms"), 20.0);
  EXPECT_EQ(JsonNumber(statsB, "rtp", "lost"), 0.0);

  // B hears A's stream, under A's CNAME, from the place it was given.
  EXPECT_EQ(JsonNumber(statsB, "rtp", "remote_ssrc"), JsonNumber(statsA, "rtcp", "local_ssrc"));
  EXPECT_EQ(JsonNumber(statsB, "rtp", "remote_ssrc"), static_cast<double>(seen.ssrc));
  EXPECT_THAT(ve::test::JsonText(statsB, "remote_cname"), ::testing::StartsWith("unknown_user."));
  EXPECT_EQ(ve::test::JsonText(statsB, "remote_cname"), seen.cname);
  EXPECT_EQ(ve::test::JsonFlag(statsB, "drops", "latched"), std::optional<bool>(false));

  // Every hostile datagram is counted once, under a reason that fits what it was; the peer's
  // own traffic adds nothing on a clean path.
  const uint64_t rtpDropped = Drops(statsB, "wrong_source") + Drops(statsB, "malformed") +
                              Drops(statsB, "unknown_payload_type") + Drops(statsB, "on_probation") +
                              Drops(statsB, "duplicate");
  EXPECT_EQ(rtpDropped, tally.rtp);
  EXPECT_GE(Drops(statsB, "malformed"), tally.rtpMalformed);
  EXPECT_GE(Drops(statsB, "wrong_source"), tally.rtpWellFormed);
  EXPECT_EQ(Drops(statsB, "rtcp_wrong_source") + Drops(statsB, "rtcp_malformed"), tally.rtcp);
  EXPECT_GE(Drops(statsB, "rtcp_malformed"), tally.rtcpMalformed);
  EXPECT_GE(Drops(statsB, "rtcp_wrong_source"), tally.rtcpWellFormed);

  for (const auto& path : {aSaysPath, bSaysPath, heardA, heardB, statsAPath, statsBPath}) std::remove(path.c_str());
}

}  // namespace
