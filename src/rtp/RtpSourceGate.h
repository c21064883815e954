#pragma once

#include <atomic>
#include <bitset>
#include <cstdint>
#include <mutex>

#include "platform/Socket.h"

namespace ve {

class RtpPacket;

// Why a received RTP datagram was not played.
enum class RtpDrop : uint8_t {
  kWrongSource = 0,     // not from the peer
  kMalformed,           // not an RTP packet
  kUnknownPayloadType,  // a payload type the engine does not know
  kOnProbation,         // kept while its source was on probation, given up when that failed
  kDuplicate,           // a sequence number already taken
  kCount
};

// Decides which received RTP packets are the peer's speech.
//
// Packets are taken from the address and port the host set as the remote. While nothing valid
// has come from there since the remote was set, the gate may latch once onto the first source
// on the same IP address (any port) that passes probation with a known payload type, for
// peers behind NAT or that send from another port than they receive on; it never moves from
// that latched source to another. Packets from the set address and port always win: once a
// source from there passes probation it is the heard one.
//
// A source passes probation with two packets in sequence; the packet that began its probation
// is kept and handed out just before the one that ended it, so the call's first packets are
// played. The heard source's packets pass once (a duplicate is dropped); its packets of
// payload types the engine does not play count in the reception figures only.
//
// Threads: Judge and TakeHeld run on the receive thread; SetRemote, SetLatchAllowed and the
// readers on any thread. `mutex` guards the source state; the counters are atomics.
class RtpSourceGate {
 public:
  enum class Verdict : uint8_t {
    kPlay,       // the heard source's speech: count it and play it
    kCountOnly,  // the heard source's, of a payload type not played: count it only
    kDropped,    // not played: counted in DropCount(reason), or kept while its source is on probation
  };
  static constexpr int32_t kMinSequential = 2;
  static constexpr int32_t kHeldBytes = 1024;
  static constexpr int32_t kDuplicateWindow = 128;

  RtpSourceGate() = default;
  RtpSourceGate(const RtpSourceGate&) = delete;
  RtpSourceGate& operator=(const RtpSourceGate&) = delete;

  // The peer's RTP address and port: starts afresh (nothing heard, nothing latched).
  void SetRemote(const platform::Ipv4Endpoint& remote);
  // Whether the gate may latch onto another port of the peer's address (default: yes).
  void SetLatchAllowed(bool allowed) { latchAllowed = allowed; }

  // Judges one parsed packet (`datagram` holds its bytes, kept on probation) from `from`.
  // A kPlay that ended a source's probation leaves the packet that began it in HasHeld.
  Verdict Judge(const RtpPacket& packet, const uint8_t* datagram, int32_t length, const platform::Ipv4Endpoint& from);
  // A datagram that is not RTP at all.
  void CountMalformed() { Drop(RtpDrop::kMalformed); }
  // The kept probation packet to play first: its length (0 when none) copied into `out`.
  int32_t TakeHeld(uint8_t* out, int32_t capacity);

  // The heard source (false when none yet), and whether it was latched.
  bool Heard(uint32_t* ssrc, platform::Ipv4Endpoint* from) const;
  bool Latched() const { return latched; }
  uint64_t DropCount(RtpDrop reason) const { return drops[static_cast<int>(reason)]; }
  uint64_t Latches() const { return latches; }

 private:
  struct Candidate {
    bool set = false;
    uint32_t ssrc = 0;
    platform::Ipv4Endpoint from;
    uint16_t maxSeq = 0;
    int32_t probation = 0;
    int32_t heldLength = 0;
    uint8_t held[kHeldBytes] = {};
  };

  Verdict Drop(RtpDrop reason);
  // Probation of `candidate` with this packet: true once it passed.
  bool OnProbation(Candidate* candidate, const RtpPacket& packet, const uint8_t* datagram, int32_t length,
                   const platform::Ipv4Endpoint& from);
  void Hear(Candidate* candidate, bool latchedSource, const RtpPacket& packet);
  bool IsDuplicate(uint16_t seq);

  mutable std::mutex mutex;
  platform::Ipv4Endpoint remote;
  bool validFromRemote = false;  // something valid came from the set address since SetRemote
  bool heard = false;
  uint32_t heardSsrc = 0;
  platform::Ipv4Endpoint heardFrom;
  uint16_t highestSeq = 0;
  std::bitset<kDuplicateWindow> seen;  // bit i: highestSeq - i has come
  Candidate fromRemote;  // a source at the set address and port
  Candidate fromPeerIp;  // a source at another port of the peer's address (latch)
  int32_t heldLength = 0;
  uint8_t held[kHeldBytes] = {};

  std::atomic<bool> latchAllowed{true};
  std::atomic<bool> latched{false};
  std::atomic<uint64_t> latches{0};
  std::atomic<uint64_t> drops[static_cast<int>(RtpDrop::kCount)] = {};
};

}  // namespace ve
