// A call between two vecall processes while a third party floods one side (B) with hostile
// datagrams on its RTP and RTCP ports, from another port of the peer's address and from
// another address: junk, broken RTP of every kind, well-formed RTP of foreign sources (and of
// the peer's own SSRC) that would pass probation if it came from the peer, RTP with header
// extensions or of payload types the engine does not play, and lying, foreign or
// impersonating RTCP. B must go on hearing only A, intact, and its drop counters must account
// for every hostile datagram.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "support/CallAnalysis.h"
#include "support/RtcpBytes.h"
#include "support/SpeechSynth.h"
#include "support/TestProcess.h"
#include "support/TestSockets.h"
#include "support/UdpProbe.h"
#include "support/UdpRelay.h"

namespace {

using namespace ve::test;  // RTCP byte builders, sockets, call files and statistics
using Clock = std::chrono::steady_clock;

constexpr double kCallSeconds = 8.0;
// The attack starts once both sides hear each other, at the earliest this far into the call,
// and ends early enough for B to read all of it before it writes its statistics.
constexpr double kAttackFromS = 1.5;
constexpr double kAttackSpreadS = 4.0;
constexpr std::chrono::milliseconds kAttackUntil{6000};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kAttackDatagrams = 4000;
#elif defined(_WIN32)
// Windows offers no view of a socket's receive queue to pace by, and the system drops what
// overflows it (under Wine, thousands at the full rate): a lower rate keeps every datagram
// countable.
constexpr uint64_t kAttackDatagrams = 2000;
#else
constexpr uint64_t kAttackDatagrams = 20000;
#endif
// The attacker keeps B's two receive queues together below this, so the system drops nothing.
constexpr uint32_t kQueueRoomBytes = 48 * 1024;
constexpr uint8_t kSdes = 202;
constexpr const char* kMallory = "mallory@example.net";

void Put16(Bytes& b, size_t at, size_t v) { ve::WriteU16BE(b.data() + at, static_cast<uint16_t>(v)); }

// The path of the call: both sides were given its port pair as their peer, and it passes what
// one sends to the other from there, so neither latches. It notes what an observer on the path
// would see: each side's SSRC, latest sequence number and timestamp, and A's CNAME. Its own
// thread relays; Now may be called from any thread.
enum Side { kA, kB };
class Tap {
 public:
  struct Seen {
    uint32_t ssrc[2] = {}, timestamp[2] = {}, packets[2] = {};  // [Side]
    uint16_t sequence[2] = {};
    std::string cnameA;
  };

  Tap(uint16_t aPort, uint16_t bPort) : portA(aPort), portB(bPort) {
    const uint16_t port = FreePortPair();
    for (int i = 0; i < 2; ++i) fds[i] = port != 0 ? OpenLoopbackUdp(static_cast<uint16_t>(port + i)) : -1;
    if (fds[0] >= 0 && fds[1] >= 0) thread = std::thread([this] { Run(); });
  }
  ~Tap() {
    stop = true;
    if (thread.joinable()) thread.join();
    for (int fd : fds) CloseUdp(fd);
  }
  uint16_t Port() const { return thread.joinable() ? LocalPort(fds[0]) : 0; }
  Seen Now() const {
    std::lock_guard<std::mutex> guard(mutex);
    return seen;
  }

 private:
  void Run() {
    Bytes d(2048);
    ve::platform::Ipv4Endpoint from;
    while (!stop) {
      if (!WaitAnyReadable({fds[0], fds[1]}, 20)) continue;
      for (int i = 0; i < 2; ++i) {  // RTP, RTCP
        for (int got; (got = ve::platform::RecvFrom(fds[i], d.data(), 2048, &from)) > 0;) {
          const Side side = from.port == portA || from.port == portA + 1 ? kA : kB;
          const int sdes = i == 1 && side == kA ? FindPart(Bytes(d.begin(), d.begin() + got), kSdes) : -1;
          {
            std::lock_guard<std::mutex> guard(mutex);
            if (i == 0 && got >= 12) {
              seen.sequence[side] = ve::ReadU16BE(&d[2]);
              seen.timestamp[side] = ve::ReadU32BE(&d[4]);
              seen.ssrc[side] = ve::ReadU32BE(&d[8]);
              ++seen.packets[side];
            }
            // The first item of the chunk of A's SDES is its CNAME.
            if (sdes >= 0 && sdes + 10 + d[sdes + 9] <= got && d[sdes + 8] == 1) {
              seen.cnameA.assign(reinterpret_cast<const char*>(&d[sdes + 10]), d[sdes + 9]);
            }
          }
          const uint16_t to = static_cast<uint16_t>((side == kA ? portB : portA) + i);
          SendToLoopback(fds[i], d.data(), static_cast<size_t>(got), to);
        }
      }
    }
  }

  const uint16_t portA, portB;
  int fds[2] = {-1, -1};
  std::atomic<bool> stop{false};
  mutable std::mutex mutex;
  Seen seen;
  std::thread thread;
};

// Builds the hostile datagrams, one burst at a time, from a fixed seed.
struct Attacker {
  explicit Attacker(const Tap& path) : tap(path), peerSsrc(tap.Now().ssrc[kA]), ownSsrc(tap.Now().ssrc[kB]) {}
  const Tap& tap;  // the peer's place is what it saw last
  const uint32_t peerSsrc, ownSsrc;
  bool impersonate = false;  // RTCP may carry the peer's SSRC as its sender
  std::vector<Bytes> burst;
  std::mt19937 random{20240611};

  Bytes& Add(Bytes b) { return burst.emplace_back(std::move(b)); }
  int U(int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random); }
  uint8_t Pick(std::initializer_list<uint8_t> bytes) { return bytes.begin()[U(0, static_cast<int>(bytes.size()) - 1)]; }
  uint32_t Foreign() {
    const uint32_t ssrc = static_cast<uint32_t>(random());
    return ssrc != peerSsrc && ssrc != ownSsrc && ssrc != 0 ? ssrc : Foreign();
  }
  uint32_t PeerOrForeign() { return Chance(0.5) ? peerSsrc : Foreign(); }
  Bytes Random(size_t count) {
    Bytes b(count);
    std::generate(b.begin(), b.end(), [this] { return static_cast<uint8_t>(random()); });
    return b;
  }

  // A random header and a loud random payload (if it were played, it would be heard), after a
  // header extension of `words` random words when not negative.
  Bytes Rtp(uint8_t type, uint32_t ssrc, size_t payload, int words = -1) {
    Bytes b = Random(12 + payload);
    WriteRtpHeader(b.data(), type, static_cast<uint16_t>(random()), static_cast<uint32_t>(random()), ssrc);
    if (words < 0) return b;
    b[0] |= 0x10;
    const Bytes extension = Join<uint8_t>({{0xBE, 0xDE, uint8_t(words >> 8), uint8_t(words)}, Random(4 * words)});
    b.insert(b.begin() + 12, extension.begin(), extension.end());
    return b;
  }
  // `count` packets in sequence, 20 ms apart, from a random place or `ahead` packets ahead of
  // the peer's.
  void Stream(int count, uint8_t type, uint32_t ssrc, size_t payload, int words = -1, int ahead = -1) {
    const Tap::Seen peer = tap.Now();
    const uint16_t sequence = static_cast<uint16_t>(ahead < 0 ? random() : peer.sequence[kA] + ahead);
    const uint32_t timestamp = ahead < 0 ? static_cast<uint32_t>(random()) : peer.timestamp[kA] + 160u * ahead;
    for (int i = 0; i < count; ++i) {
      Bytes& b = Add(Rtp(type, ssrc, payload, words));
      ve::WriteU16BE(&b[2], static_cast<uint16_t>(sequence + i));
      ve::WriteU32BE(&b[4], timestamp + 160u * i);
    }
  }
};

// A datagram's family says how likely it goes to the RTCP port rather than the RTP port (some
// go to the other one, as to a peer that multiplexes) and what each port should make of it:
// junk may parse or not; broken RTP is malformed at either port (no RTP here has a report's
// type byte); well-formed RTP is dropped for its source alone at the RTP port; RTCP may or may
// not parse as RTP.
enum Family { kJunk, kBadRtp, kRtp, kBadRtcp, kRtcp };
enum Expect { kEither, kMalformed, kWellFormed };
constexpr double kToRtcp[] = {0.5, 0.15, 0.15, 0.85, 0.85};
constexpr Expect kExpect[][2] = {{kEither, kEither}, {kMalformed, kMalformed}, {kWellFormed, kMalformed},
                                 {kEither, kMalformed}, {kEither, kWellFormed}};

struct Kind {
  const char* name;
  int weight;
  Family family;
  void (*build)(Attacker& a);
};

const Kind kKinds[] = {
    {"junk", 12, kJunk, [](Attacker& a) { a.Add(a.Random(a.U(1, 1400))); }},
    // Broken RTP: not version 2 (but 0, 1 or 3), padding longer than the payload, or a
    // datagram that ends inside its header, its CSRCs or its extension (head or words).
    {"rtp wrong version", 4, kBadRtp,
     [](Attacker& a) { a.Add(a.Rtp(8, a.PeerOrForeign(), 160))[0] ^= a.Pick({0x80, 0xC0, 0x40}); }},
    {"rtp padding past end", 4, kBadRtp,
     [](Attacker& a) {
       Bytes& b = a.Add(a.Rtp(8, a.Foreign(), a.U(1, 200)));
       b[0] |= 0x20;
       b.back() = static_cast<uint8_t>(a.U(static_cast<int>(b.size()) - 11, 255));
     }},
    {"rtp cut short", 12, kBadRtp,
     [](Attacker& a) {
       const int csrcs = a.U(0, 15), words = a.Chance(0.5) ? a.U(0, 3) : a.U(4, 300);
       Bytes& b = a.Add(a.Rtp(8, a.Foreign(), 160, words));
       b[0] |= static_cast<uint8_t>(csrcs);
       b.insert(b.begin() + 12, 4 * csrcs, 0x55);
       b.resize(a.U(1, 15 + 4 * (csrcs + words)));
     }},
    // Well-formed RTP: a new source's stream in a payload type B plays (from the peer's place
    // it would pass probation and be heard) or does not, the peer's own stream a little ahead
    // (its real packets would become duplicates), and packets with a header extension.
    {"rtp foreign stream", 22, kRtp,
     [](Attacker& a) {
       const uint8_t type = a.Pick({0, 8, 18, 0, 8, 18, 96, 101});
       const int ahead = a.Chance(0.2) ? a.U(1, 40) : -1;
       a.Stream(a.U(2, 5), type, ahead < 0 ? a.Foreign() : a.peerSsrc,
                type == 18 ? 20 : type == 101 ? 4 : 160, -1, ahead);
     }},
    {"rtp with extension", 4, kRtp, [](Attacker& a) { a.Stream(2, 8, a.PeerOrForeign(), 160, a.U(0, 4)); }},
    // A length that claims more than was sent, the most there is, or one word (the next "part"
    // is then the rest of the report); a valid report, then an SDES that runs past the end; or
    // a compound that does not lead with a report.
    {"rtcp lying length", 6, kBadRtcp,
     [](Attacker& a) {
       const int how = a.U(0, 3);
       Bytes b = ReceiverReport(a.Foreign(), StandardBlock(a.Foreign(), 0, 0), 1), s = Cname(a.Foreign(), kMallory);
       Put16(s, 2, s.size() / 4 - 1 + a.U(1, 100));
       if (how < 3) Put16(b, 2, how == 0 ? b.size() / 4 - 1 + a.U(1, 60) : how == 1 ? 0xFFFF : 1);
       if (how == 2) b[8] &= 0x3F;  // version 0
       a.Add(how == 3 ? Join<uint8_t>({b, s}) : b);
     }},
    {"rtcp without leading report", 4, kBadRtcp,
     [](Attacker& a) {
       Bytes padded = ReceiverReport(a.Foreign());  // whose first part claims padding
       padded[0] |= 0x20;
       const int how = a.U(0, 2);
       a.Add(how == 0 ? Cname(a.Foreign(), kMallory) : how == 1 ? Bye(a.peerSsrc) : padded);
     }},
    // Well-formed RTCP of foreign sources: many of them, sender reports of either layout about
    // them and the peer, and a reporter that says the peer left under a new CNAME. From another
    // address that is the peer itself (from the peer's address it would be taken: the peer's
    // RTCP may come from any of its ports).
    {"rtcp sdes 31 chunks", 4, kRtcp,
     [](Attacker& a) {
       Bytes chunks;
       for (int i = 0; i < 31; ++i) {
         const Bytes part = Cname(a.Foreign(), ("user" + std::to_string(i) + "@flood.example").c_str());
         chunks.insert(chunks.end(), part.begin() + 4, part.end());
       }
       const Bytes header = {0x80 | 31, kSdes, 0, static_cast<uint8_t>(chunks.size() / 4)};
       a.Add(Join<uint8_t>({ReceiverReport(a.Foreign()), header, chunks}));
     }},
    {"rtcp foreign sr", 6, kRtcp,
     [](Attacker& a) {
       const uint32_t ssrc = a.Foreign();
       const bool legacy = a.Chance(0.5);
       const auto block = legacy ? LegacyBlock : StandardBlock;
       const Words about = Join<uint32_t>({block(a.Foreign(), 0, 0, 3, 7), block(a.peerSsrc, 0, 0, 3, 7)});
       const ve::NtpTime now = ve::NtpTime::Now();
       a.Add(Join<uint8_t>({SenderReport(ssrc, legacy ? now : now.ToStandardWire(), about, 2), Cname(ssrc, kMallory)}));
     }},
    {"rtcp bye for peer", 10, kRtcp,
     [](Attacker& a) {
       const Bytes report = a.impersonate ? SenderReport(a.peerSsrc, ve::NtpTime::Now().ToStandardWire(),
                                                         StandardBlock(a.Foreign(), 0, 0), 1)
                                          : ReceiverReport(a.Foreign(), StandardBlock(a.peerSsrc, 0, 0), 1);
       a.Add(Join<uint8_t>({report, Cname(a.peerSsrc, kMallory), Bye(a.peerSsrc)}));
     }},
};
// What was sent where: [0] to the RTP port, [1] to the RTCP port.
struct Tally {
  uint64_t sent = 0;
  uint64_t atPort[2] = {}, malformed[2] = {}, wellFormed[2] = {};
};

// Sends kAttackDatagrams hostile datagrams to B's ports, half from `otherAddress` when it is a
// socket, the rest from `peerAddress`; evenly over kAttackSpreadS at most, ending by `until`.
Tally Flood(const Tap& tap, uint16_t portB, int peerAddress, int otherAddress, Clock::time_point until) {
  Attacker attacker(tap);
  std::vector<int> weights;
  for (const Kind& kind : kKinds) weights.push_back(kind.weight);
  std::discrete_distribution<size_t> pickKind(weights.begin(), weights.end());
  Tally t;
  const auto start = Clock::now();
  const std::chrono::duration<double> gap(kAttackSpreadS / kAttackDatagrams);
  for (uint64_t nextQueueCheck = 0; t.sent < kAttackDatagrams && Clock::now() < until;) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(gap * t.sent));
    if (t.sent >= nextQueueCheck && ReadReceiveQueue(portB, 2).queuedBytes > kQueueRoomBytes) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (t.sent >= nextQueueCheck) nextQueueCheck = t.sent + 16;
    const bool other = otherAddress >= 0 && attacker.Chance(0.5);
    const size_t kind = pickKind(attacker.random);
#ifndef _WIN32
    // Under Wine a datagram from another loopback address may arrive as from 127.0.0.1, where
    // the peer's SSRC as sender is the peer's by design: no impersonation there.
    attacker.impersonate = other;
#endif
    attacker.burst.clear();
    kKinds[kind].build(attacker);
    const int port = attacker.Chance(kToRtcp[kKinds[kind].family]) ? 1 : 0;
    for (const Bytes& d : attacker.burst) {
      if (t.sent == kAttackDatagrams) break;
      const uint16_t to = static_cast<uint16_t>(portB + port);
      if (!SendToLoopback(other ? otherAddress : peerAddress, d.data(), d.size(), to)) {
        ADD_FAILURE() << "a datagram could not be sent";
        return t;
      }
      const Expect expect = kExpect[kKinds[kind].family][port];
      ++t.sent, ++t.atPort[port];
      t.malformed[port] += expect == kMalformed ? 1 : 0;
      t.wellFormed[port] += expect == kWellFormed ? 1 : 0;
    }
  }
  return t;
}

TEST(Flood, CallSurvivesHostileDatagramsAndCountsEach) {
  if (!SpeechToolsAvailable()) GTEST_SKIP() << "espeak-ng and sox are needed for test speech";
  CallSide a("flood-a", "en-us", kCallSeconds - 1.5), b("flood-b", "en-gb", kCallSeconds - 1.5);
  ASSERT_FALSE(a.says.empty() || b.says.empty());
  const uint16_t portA = FreePortPair(), portB = FreePortPair();
  Tap tap(portA, portB);
  ASSERT_NE(tap.Port(), 0);
  const int fromPeerAddress = OpenLoopbackUdp(0), fromOtherAddress = OpenUdpOn("127.0.0.2", 0);
  ASSERT_GE(fromPeerAddress, 0);
  if (fromOtherAddress < 0) std::printf("no socket on 127.0.0.2: the attack comes from 127.0.0.1 only\n");

  const auto callStart = Clock::now();
  auto sinceStart = [&] { return std::chrono::duration<double>(Clock::now() - callStart).count(); };
  ChildProcess aRuns(a.Command(VECALL_PATH, portA, tap.Port(), "pcma", kCallSeconds));
  ChildProcess bRuns(b.Command(VECALL_PATH, portB, tap.Port(), "pcma", kCallSeconds));
  // Both sides speak (half a second of each has passed the tap) before the attack begins.
  auto bothSpeak = [&] { return tap.Now().packets[kA] >= 25 && tap.Now().packets[kB] >= 25; };
  while (sinceStart() < kAttackFromS || (!bothSpeak() && sinceStart() < kAttackFromS + 3.0)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(bothSpeak());
  const Tally tally = Flood(tap, portB, fromPeerAddress, fromOtherAddress, callStart + kAttackUntil);

  // B reads what is queued. The system must have dropped nothing at B's sockets for the
  // engine's counters to be compared with what was sent.
  ReceiveQueue queues;
  for (int i = 0; i < 100 && (queues = ReadReceiveQueue(portB, 2)).queuedBytes > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(queues.drops, 0u) << "the system dropped datagrams at B's sockets";
  for (int fd : {fromPeerAddress, fromOtherAddress}) CloseUdp(fd);

  ASSERT_EQ(aRuns.Wait(static_cast<int>(kCallSeconds) + 60), 0);
  ASSERT_EQ(bRuns.Wait(static_cast<int>(kCallSeconds) + 60), 0);
  const std::string statsA = a.Stats(), statsB = b.Stats();
  const HeardSpeech aToB = AnalyseHeardSpeech(a, b), bToA = AnalyseHeardSpeech(b, a);
  const Tap::Seen seen = tap.Now();

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
  EXPECT_EQ(JsonNumber(statsB, "rtp", "remote_ssrc"), static_cast<double>(seen.ssrc[kA]));
  EXPECT_THAT(JsonText(statsB, "rtcp", "remote_cname"), ::testing::StartsWith("unknown_user."));
  EXPECT_EQ(JsonText(statsB, "rtcp", "remote_cname"), seen.cnameA);
  EXPECT_EQ(JsonFlag(statsB, "drops", "latched"), std::optional<bool>(false));

  // Every hostile datagram is counted once, under a reason that fits what it was; the peer's
  // own traffic adds nothing on a clean path.
  auto drops = [&](const char* reason) { return static_cast<uint64_t>(JsonNumber(statsB, "drops", reason)); };
  EXPECT_EQ(drops("wrong_source") + drops("malformed") + drops("unknown_payload_type") + drops("on_probation") +
                drops("duplicate"),
            tally.atPort[0]);
  EXPECT_GE(drops("malformed"), tally.malformed[0]);
  EXPECT_GE(drops("wrong_source"), tally.wellFormed[0]);
  EXPECT_EQ(drops("rtcp_wrong_source") + drops("rtcp_malformed"), tally.atPort[1]);
  EXPECT_GE(drops("rtcp_malformed"), tally.malformed[1]);
  EXPECT_GE(drops("rtcp_wrong_source"), tally.wellFormed[1]);
}

}  // namespace
