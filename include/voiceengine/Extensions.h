#pragma once

#include <cstdint>

#include "voiceengine/Export.h"

class VoiceEngine;

/// @file
/// Operations beside the VoiceEngine class for hosts that want more than its 34 operations:
/// the G.711 law of calls, the RTCP layout, source checks and a statistics snapshot of the
/// running call. They are exported by the Linux library (libvoiceengine.so) and are part of
/// the engine's static libraries on both systems; the Windows DLL exports only the 34
/// operations of VoiceEngine, so a DLL host cannot reach them.
///
/// Threads: each may be called from any thread; GetStatistics never blocks the audio threads.
namespace voiceengine {

/// The two G.711 laws.
enum class G711Law {
  kALaw,  ///< A-law (payload type 8), the default
  kULaw,  ///< u-law (payload type 0)
};

/// The law G.711 calls send and expect. Calls use A-law unless the host asks for u-law; the
/// choice is kept across ConfigureSend/ConfigureReceive. Call it while both directions are
/// stopped.
/// @param engine an engine.
/// @param law the law.
/// @return 0, or -1 for a null engine.
VOICEENGINE_API int32_t SetG711Law(VoiceEngine* engine, G711Law law);

/// The RTCP layout of the engine's reports.
enum class RtcpDialect {
  kAuto = 0,      ///< the older layout until the peer is seen to speak or understand the standard one
  kStandard = 1,  ///< the standard layout (RFC 3550) only
  kLegacy = 2,    ///< the layout of the engine's older generation only
};

/// The RTCP layout the engine's reports use. kAuto (the default) starts with the layout of the
/// engine's older generation and moves to the standard one (RFC 3550) as soon as the peer is
/// seen to speak or understand it; the other two keep one layout. Incoming reports are read in
/// whichever layout each peer speaks.
/// @param engine an initialised engine.
/// @param dialect the layout.
/// @return 0, or -1 for a null engine or one that is not initialised.
VOICEENGINE_API int32_t SetRtcpDialect(VoiceEngine* engine, RtcpDialect dialect);

/// Where the peer's packets may come from. By default RTP is taken from the address and port
/// given to SetRemote and, while nothing valid has come from there, from one source at another
/// port of the same address (peers behind NAT, or that send from another port than they
/// receive on); RTCP from the given RTCP port, or from another port of the peer's address when
/// it speaks for the source heard or reports on our stream. Strict checks take packets only
/// from the ports given.
/// @param engine an initialised engine.
/// @param strict true for strict checks.
/// @return 0, or -1 for a null engine or one that is not initialised.
VOICEENGINE_API int32_t SetStrictSourceCheck(VoiceEngine* engine, bool strict);

/// What a user wants to see during a call. Reading it never blocks the audio threads; counts
/// cover the current call (sending counts restart with each StartSending).
///
/// The structure grows at its end in later versions without breaking a built host: `size`,
/// which a default-constructed value sets from the host's own header, tells GetStatistics how
/// much the host's structure holds, and only that much is written. New members are added after
/// the last one, never in between.
struct CallStatistics {
  uint32_t size = sizeof(CallStatistics);  ///< bytes of the caller's structure

  int32_t codecType = -1;  ///< 0 G.711, 1 G.723, 2 G.729, -1 none
  bool uLaw = false;       ///< G.711 law in use
  bool sending = false;    ///< the send direction runs
  bool receiving = false;  ///< the receive direction runs

  uint64_t rtpPacketsSent = 0;         ///< RTP packets sent
  uint64_t rtpBytesSent = 0;           ///< payload bytes
  uint64_t rtpPacketsReceived = 0;     ///< packets counted from the followed source
  uint64_t rtpBytesReceived = 0;       ///< their payload bytes
  int64_t packetsLost = 0;             ///< expected minus received, cumulative (0 at least)
  double fractionLost = 0.0;           ///< 0..1 over the whole call
  double jitterMs = 0.0;               ///< interarrival jitter
  uint32_t remoteSsrc = 0;             ///< SSRC of the heard source
  uint32_t localSsrc = 0;              ///< SSRC of our stream
  char remoteCname[256] = {};          ///< the peer's CNAME, NUL-terminated; empty while unknown

  // The playout of the heard source: its packets wait encoded and are decoded as they are
  // played; missing ones are concealed by their codec; the delay follows the network's jitter
  // by time-scaling speech a few ms at a time or in pauses. Counts cover the current call.
  int32_t playoutDepthMs = 0;          ///< audio buffered now: packets waiting and decoded samples
  uint64_t playoutRepeats = 0;         ///< samples made up by concealment for missing packets
  uint64_t playoutDrops = 0;           ///< packets dropped because their turn had passed
  uint64_t playoutRebuffers = 0;       ///< times playback ran dry and buffered again
  uint64_t playoutGapMarkers = 0;      ///< 10 ms blocks of silence played with nothing to play
  int32_t playoutTargetMs = 0;         ///< the delay the arrival jitter asks for
  uint64_t playoutConcealedMs = 0;     ///< made up by concealment (as playoutRepeats, in ms)
  uint64_t playoutComfortNoiseMs = 0;  ///< comfort noise played (sent, or faded into after loss)
  uint64_t playoutTimeScaledMs = 0;    ///< removed or added by time-scaling, both counted
  uint64_t playoutDelayChanges = 0;    ///< steps of delay change

  int32_t inputPeak = 0;               ///< 0..32768: the last captured buffer (0 when gated silent)
  int32_t outputPeak = 0;              ///< 0..32768: the last buffer played to the call's speaker
  int32_t speakerQueueMs = 0;          ///< audio queued at the call's speaker device
  uint64_t speakerUnderruns = 0;       ///< times that device ran dry (its queue then grows)

  uint64_t rtcpReportsSent = 0;        ///< RTCP compound packets sent
  uint64_t rtcpReportsReceived = 0;    ///< RTCP compound packets taken from the peer
  double roundTripMs = -1.0;           ///< average; -1 while unknown
  double oneWayDelayMs = -1.0;         ///< average; -1 while unknown
  // Received datagrams that were not played, by reason: not from the peer, not RTP, a payload
  // type the engine does not know, a source still on probation, a duplicate. A duplicate still
  // counts as received in the loss figures.
  uint64_t droppedWrongSource = 0;         ///< RTP not from the peer
  uint64_t droppedMalformed = 0;           ///< not an RTP packet
  uint64_t droppedUnknownPayloadType = 0;  ///< a payload type the engine does not know
  uint64_t droppedOnProbation = 0;         ///< from a new source still on probation
  uint64_t droppedDuplicate = 0;           ///< a packet heard before
  uint64_t rtcpDroppedWrongSource = 0;  ///< RTCP not from the peer
  uint64_t rtcpDroppedMalformed = 0;    ///< not a valid RTCP compound packet
  bool sourceLatched = false;           ///< the heard source is at another port of the peer's address

  int32_t rtcpSendDialect = 1;         ///< layout of our reports: 1 legacy, 2 standard
  int32_t rtcpPeerDialect = 0;         ///< layout the peer speaks: 0 not known yet, 1 legacy, 2 standard
  bool peerReported = false;           ///< the peer has reported on our stream; its last report's figures follow
  double peerFractionLost = 0.0;       ///< the peer's report: share lost since its previous report, 0..1
  int64_t peerPacketsLost = 0;         ///< the peer's report: cumulative loss
  double peerJitterMs = 0.0;           ///< the peer's report: interarrival jitter
};

/// Fills @p out with the engine's current figures, as far as out->size reaches: a host built
/// against an older, shorter structure gets its part, one built against a longer one keeps its
/// own values past ours; `size` itself is left as it was. Take them before stopping, which ends
/// the call's figures.
/// @param engine an initialised engine.
/// @param out receives the figures; its `size` says how much it holds.
/// @return 0, or -1 for a null argument, an engine that is not initialised, or a size smaller
///         than the first released structure (up to and including peerJitterMs).
VOICEENGINE_API int32_t GetStatistics(VoiceEngine* engine, CallStatistics* out);

}  // namespace voiceengine
