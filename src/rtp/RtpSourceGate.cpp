#include "rtp/RtpSourceGate.h"

#include <cstring>

#include "rtp/PayloadTypes.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSequence.h"

namespace ve {

void RtpSourceGate::SetRemote(const platform::Ipv4Endpoint& to) {
  std::lock_guard<std::mutex> guard(mutex);
  remote = to;
  validFromRemote = false;
  heard = false;
  heardSsrc = 0;
  heardFrom = platform::Ipv4Endpoint{};
  seen.reset();
  fromRemote.set = false;
  fromPeerIp.set = false;
  heldLength = 0;
  latched = false;
}

RtpSourceGate::Verdict RtpSourceGate::Drop(RtpDrop reason) {
  ++drops[static_cast<int>(reason)];
  return Verdict::kDropped;
}

RtpSourceGate::Verdict RtpSourceGate::Judge(const RtpPacket& packet, const uint8_t* datagram, int32_t length,
                                            const platform::Ipv4Endpoint& from) {
  std::lock_guard<std::mutex> guard(mutex);
  const bool known = FindPayloadType(packet.PayloadType()) != nullptr;
  if (heard && packet.Ssrc() == heardSsrc && from == heardFrom) {
    if (IsDuplicate(packet.Sequence())) {
      // Counted as received, as the reception figures want, but played once only.
      ++drops[static_cast<int>(RtpDrop::kDuplicate)];
      return Verdict::kCountOnly;
    }
    return known ? Verdict::kPlay : Verdict::kCountOnly;
  }
  if (from == remote) {
    if (!known) return Drop(RtpDrop::kUnknownPayloadType);
    validFromRemote = true;
    if (!OnProbation(&fromRemote, packet, datagram, length, from)) return Verdict::kDropped;
    Hear(&fromRemote, false, packet);
    return Verdict::kPlay;
  }
  const bool mayLatch = latchAllowed && !validFromRemote && !latched && from.address == remote.address;
  if (!mayLatch) return Drop(RtpDrop::kWrongSource);
  if (!known) return Drop(RtpDrop::kUnknownPayloadType);
  if (!OnProbation(&fromPeerIp, packet, datagram, length, from)) return Verdict::kDropped;
  Hear(&fromPeerIp, true, packet);
  return Verdict::kPlay;
}

bool RtpSourceGate::OnProbation(Candidate* candidate, const RtpPacket& packet, const uint8_t* datagram, int32_t length,
                                const platform::Ipv4Endpoint& from) {
  const uint16_t seq = packet.Sequence();
  const bool same = candidate->set && candidate->ssrc == packet.Ssrc() && candidate->from == from;
  if (same && seq == static_cast<uint16_t>(candidate->maxSeq + 1)) {
    candidate->maxSeq = seq;
    if (--candidate->probation <= 0) return true;
  } else {
    // A new source, or one out of sequence: its probation starts (again) with this packet,
    // and the packet kept so far is given up.
    if (candidate->set) ++drops[static_cast<int>(RtpDrop::kOnProbation)];
    candidate->set = true;
    candidate->ssrc = packet.Ssrc();
    candidate->from = from;
    candidate->maxSeq = seq;
    candidate->probation = kMinSequential - 1;
    candidate->heldLength = 0;
  }
  // The packet that may turn out to be the source's first is kept, to be played if it passes.
  if (length > 0 && length <= kHeldBytes) {
    std::memcpy(candidate->held, datagram, static_cast<size_t>(length));
    candidate->heldLength = length;
  }
  return false;
}

void RtpSourceGate::Hear(Candidate* candidate, bool latchedSource, const RtpPacket& packet) {
  heard = true;
  heardSsrc = candidate->ssrc;
  heardFrom = candidate->from;
  seen.reset();
  highestSeq = static_cast<uint16_t>(packet.Sequence() - 1);
  seen.set(0);  // the kept packet
  IsDuplicate(packet.Sequence());
  heldLength = candidate->heldLength;
  std::memcpy(held, candidate->held, static_cast<size_t>(heldLength));
  candidate->set = false;
  latched = latchedSource;
  if (latchedSource) ++latches;
}

bool RtpSourceGate::IsDuplicate(uint16_t seq) {
  const int32_t delta = SeqDelta(seq, highestSeq);
  if (delta > 0) {
    if (delta >= kDuplicateWindow) {
      seen.reset();
    } else {
      seen <<= static_cast<size_t>(delta);
    }
    seen.set(0);
    highestSeq = seq;
    return false;
  }
  const int32_t back = -delta;
  if (back >= kDuplicateWindow) return false;  // too old to tell: later stages judge it late
  if (seen.test(static_cast<size_t>(back))) return true;
  seen.set(static_cast<size_t>(back));
  return false;
}

int32_t RtpSourceGate::TakeHeld(uint8_t* out, int32_t capacity) {
  std::lock_guard<std::mutex> guard(mutex);
  const int32_t length = heldLength;
  heldLength = 0;
  if (length <= 0 || length > capacity) return 0;
  std::memcpy(out, held, static_cast<size_t>(length));
  return length;
}

bool RtpSourceGate::Heard(uint32_t* ssrc, platform::Ipv4Endpoint* from) const {
  std::lock_guard<std::mutex> guard(mutex);
  if (ssrc != nullptr) *ssrc = heardSsrc;
  if (from != nullptr) *from = heardFrom;
  return heard;
}

}  // namespace ve
