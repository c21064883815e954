#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/DelayEstimator.h"
#include "audio/PacketBuffer.h"

namespace ve {

class ComfortNoiseGenerator;
class G711Concealer;
class G729Codec;
class RtpPacket;
class TimeScaler;

// What the playout of the heard source has done; counts since the last Reset.
struct PlayoutCoreStats {
  int32_t bufferedMs = 0;        // audio waiting to be played (packets and decoded samples)
  int32_t targetMs = 0;          // what the arrival jitter asks for
  int64_t playedMs = 0;          // audio of packets played
  int64_t concealedMs = 0;       // made up by the codec's concealment for missing packets
  int64_t comfortNoiseMs = 0;    // comfort noise (sent, or after a long loss)
  int64_t silenceMs = 0;         // nothing to play outside a loss: before the first packet, pauses
  int64_t timeScaledMs = 0;      // removed or added by time-scaling (both counted)
  int64_t lateFrames = 0;        // packets that came after their turn (concealed or skipped)
  int64_t duplicates = 0;
  int64_t rebuffers = 0;         // playback stopped to buffer again after running dry
  int64_t delayChanges = 0;      // steps of delay change by time-scaling or in silence
  int64_t sourceChanges = 0;
  int64_t otherSourceDropped = 0;  // packets of an SSRC waiting to replace the played one
};

// The playout of received speech: keeps the heard source's encoded packets ordered by
// sequence number and decodes them when the playback side asks for the next 10 ms, each by
// its own payload type (0 and 8 G.711, 18 G.729 with Annex B SID frames, 13 comfort noise,
// 4 the G.723 slot), whatever the packet size. A missing packet is concealed by its codec
// (G.711 waveform substitution, G.729's erased-frame path), fading into comfort noise after
// kFadeToNoiseMs; a packet that arrives after its turn is dropped and counted. A gap that
// follows comfort noise, or that ends at a packet with the marker bit, is a pause: silence or
// comfort noise, not loss.
//
// Delay: the buffer starts playing once the first packet has waited the target delay that the
// DelayEstimator derives from the arrival jitter. Afterwards the delay of the quickest packets
// is compared with the target, and moves towards it a few ms at a time: by dropping or adding
// samples in pauses and quiet blocks, or by time-scaling speech (TimeScaler), never by
// discarding active speech. Inside kHysteresisMs nothing changes, so on a clean network the
// delay settles in the first talk spurt and stays.
//
// Sources: a new SSRC replaces the played one once the old one has said BYE (SourceLeft) or
// been silent for two packet times; the old one's packets are released.
//
// Threads: Put runs on the network thread, Get on the playback thread, Stats on any; one
// mutex is held around each of them (briefly: a decode of at most one packet).
class PlayoutCore {
 public:
  static constexpr int32_t kBlockSamples = 80;  // 10 ms at 8 kHz
  static constexpr int32_t kFadeToNoiseMs = 60;
  static constexpr int32_t kRebufferAfterMs = 200;
  static constexpr int32_t kHysteresisMs = 15;
  static constexpr int32_t kMaxStepSamples = 40;  // at most 5 ms of change per 10 ms block
  static constexpr int32_t kCatchUpAboveMs = 60;   // ... or 10 ms shed when this much too deep
  static constexpr int32_t kFifoSamples = 4096;

  PlayoutCore();
  ~PlayoutCore();
  PlayoutCore(const PlayoutCore&) = delete;
  PlayoutCore& operator=(const PlayoutCore&) = delete;

  // A packet of the heard source, arrived at nowMs (a monotonic ms clock).
  void Put(const RtpPacket& packet, uint32_t nowMs);
  // The next 10 ms to play (kBlockSamples samples), asked for at nowMs.
  void Get(int16_t* out, uint32_t nowMs);
  // The source said BYE.
  void SourceLeft(uint32_t ssrc);
  // Forgets every packet, source and figure (a new call).
  void Reset();
  PlayoutCoreStats Stats();

 private:
  enum class Mode : uint8_t { kIdle, kPlaying };

  void ResetLocked();
  // Plays the packet at the front into the FIFO (or drops it when its turn has passed); false
  // when there is none or it is not due yet.
  bool DecodeFront();
  // Decodes a packet into `block`: the samples made.
  int32_t DecodePacket(const PacketBuffer::Packet& packet);
  void Conceal();
  // 10 ms of a pause: comfort noise (the sender's, or G.729's from its SID) or silence.
  void Quiet(bool comfortNoise);
  // The sender announced a pause with comfort noise or a SID.
  bool InNoisePause() const;
  int32_t PacketSamples(const PacketBuffer::Packet& packet) const;
  // Audio waiting to be played: decoded samples and the packets' span.
  int32_t QueuedSamples() const;
  // Moves the delay of the quickest packets towards the target by time-scaling the FIFO's
  // front.
  void AdjustDelay();
  // Follows the level of the quietest recent audio: the noise that concealment fades into
  // when the sender never described its background.
  void TrackNoiseFloor(const int16_t* played);
  void PushFifo(const int16_t* samples, int32_t count);
  int32_t PopFifo(int16_t* out, int32_t count);

  std::mutex mutex;
  PacketBuffer buffer;
  DelayEstimator estimator;
  std::unique_ptr<G711Concealer> g711Concealer;
  std::unique_ptr<G729Codec> g729;
  std::unique_ptr<ComfortNoiseGenerator> comfortNoise;
  std::unique_ptr<TimeScaler> scaler;

  Mode mode = Mode::kIdle;
  bool haveSource = false;
  uint32_t ssrc = 0;
  bool sourceLeft = false;
  uint32_t lastArrivalMs = 0;
  int32_t lastPacketSamples = 160;
  uint32_t playTimestamp = 0;  // RTP timestamp of the next sample to be decoded
  uint8_t lastPayloadType = 0;  // of the last packet played
  bool lastWasSid = false;       // the last G.729 packet played ended with a SID frame
  bool lastArrivedPause = false; // the last packet that arrived began a pause
  bool inPause = true;         // after comfort noise or before a talk spurt
  int32_t lossMs = 0;          // consecutive concealment
  int32_t dryMs = 0;           // consecutive blocks with nothing to play while playing
  int32_t stretchedSamples = 0;  // concealed while waiting for a packet not yet known lost
  double quickestDelayMs = 0;  // smoothed delay of the quickest packets
  int32_t notedAhead = 0;
  uint32_t lastGetMs = 0;      // when the player last asked
  int32_t burstSamples = 0;    // samples it took at that time      // FIFO samples the scaler has counted as played already
  double noiseFloorRms = 0;    // quietest recent block level
  bool sawComfortNoise = false;
  bool haveDelay = false;
  bool haveMedia = false;
  int64_t mediaUnits = 0;      // the heard source's timestamp, extended past its wrap
  uint32_t lastTimestamp = 0;

  int16_t fifo[kFifoSamples] = {};
  int32_t fifoStart = 0;
  int32_t fifoCount = 0;
  int16_t scratch[kFifoSamples] = {};
  int16_t block[kFifoSamples] = {};

  PlayoutCoreStats stats;
};

}  // namespace ve
