#include "audio/PlayoutCore.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/TimeScaler.h"
#include "codecs/ComfortNoiseGenerator.h"
#include "codecs/G711Codec.h"
#include "codecs/G711Concealer.h"
#include "codecs/G729Codec.h"
#include "rtp/PayloadTypes.h"
#include "rtp/RtpPacket.h"
#include "rtp/RtpSequence.h"

namespace ve {

namespace {

constexpr int32_t kSamplesPerMs = 8;
constexpr int32_t kG729FrameBytes = 10;
constexpr int32_t kG729SidBytes = 2;
constexpr int32_t kG723FrameSamples = 240;

// Frames of a G.723 payload, each 30 ms: the low two bits of a frame's first byte give its
// kind and so its length.
int32_t G723Frames(const uint8_t* payload, int32_t length) {
  static constexpr int32_t kLength[4] = {24, 20, 4, 1};
  int32_t frames = 0;
  for (int32_t at = 0; at < length; at += kLength[payload[at] & 3]) ++frames;
  return frames;
}

}  // namespace

PlayoutCore::PlayoutCore()
    : g711Concealer(std::make_unique<G711Concealer>()),
      g729(std::make_unique<G729Codec>()),
      comfortNoise(std::make_unique<ComfortNoiseGenerator>()),
      scaler(std::make_unique<TimeScaler>()) {}

PlayoutCore::~PlayoutCore() = default;

void PlayoutCore::Reset() {
  std::lock_guard<std::mutex> guard(mutex);
  ResetLocked();
}

void PlayoutCore::ResetLocked() {
  buffer.Clear();
  estimator.Reset();
  mode = Mode::kIdle;
  haveSource = false;
  sourceLeft = false;
  inPause = true;
  lossMs = 0;
  dryMs = 0;
  haveDelay = false;
  haveMedia = false;
  notedAhead = 0;
  stretchedSamples = 0;
  noiseFloorRms = 0;
  sawComfortNoise = false;
  lastPayloadType = 0;
  lastWasSid = false;
  lastArrivedPause = false;
  g711Concealer->Reset();
  comfortNoise->Reset(1);
  scaler->Reset();
  fifoStart = fifoCount = 0;
  stats = PlayoutCoreStats{};
}

void PlayoutCore::SourceLeft(uint32_t left) {
  std::lock_guard<std::mutex> guard(mutex);
  if (haveSource && left == ssrc) sourceLeft = true;
}

PlayoutCoreStats PlayoutCore::Stats() {
  std::lock_guard<std::mutex> guard(mutex);
  PlayoutCoreStats out = stats;
  out.targetMs = estimator.TargetMs();
  out.bufferedMs = QueuedSamples() / kSamplesPerMs;
  return out;
}

int32_t PlayoutCore::QueuedSamples() const {
  int32_t queued = fifoCount;
  if (const PacketBuffer::Packet* back = buffer.Back(); back != nullptr && mode == Mode::kPlaying) {
    queued += std::max(0, TimestampDelta(back->timestamp, playTimestamp) + PacketSamples(*back));
  }
  return queued;
}

int32_t PlayoutCore::PacketSamples(const PacketBuffer::Packet& packet) const {
  switch (packet.payloadType) {
    case kPayloadPcmu:
    case kPayloadPcma:
      return packet.length;
    case kPayloadG729:
      return (packet.length / kG729FrameBytes + (packet.length % kG729FrameBytes == kG729SidBytes ? 1 : 0)) *
             kBlockSamples;
    case kPayloadG723:
      return G723Frames(packet.payload, packet.length) * kG723FrameSamples;
    default:
      return 0;  // comfort noise lasts until the next packet
  }
}

void PlayoutCore::Put(const RtpPacket& packet, uint32_t nowMs) {
  std::lock_guard<std::mutex> guard(mutex);
  if (!haveSource) {
    haveSource = true;
    ssrc = packet.Ssrc();
  } else if (packet.Ssrc() != ssrc) {
    const bool quiet = nowMs - lastArrivalMs >= static_cast<uint32_t>(2 * lastPacketSamples / kSamplesPerMs);
    if (!sourceLeft && !quiet) {
      ++stats.otherSourceDropped;
      return;
    }
    // The new source replaces the old one, whose packets are released.
    ++stats.sourceChanges;
    buffer.Clear();
    estimator.Reset();
    ssrc = packet.Ssrc();
    sourceLeft = false;
    mode = Mode::kIdle;
    haveDelay = false;
    haveMedia = false;
  }
  // Pause packets (comfort noise, a SID) need no timely arrival, and the first packet after a
  // pause may have waited for the sender: neither says anything about jitter.
  const bool pausePacket = packet.PayloadType() == kPayloadComfortNoise ||
                           (packet.PayloadType() == kPayloadG729 && packet.PayloadUsage() % kG729FrameBytes == kG729SidBytes);
  const bool afterPause = packet.Marker() || lastArrivedPause || pausePacket;
  lastArrivedPause = pausePacket;
  lastArrivalMs = nowMs;
  // Media time from the timestamp, carried across its wrap.
  if (!haveMedia) {
    mediaUnits = packet.Timestamp();
    lastTimestamp = packet.Timestamp();
    haveMedia = true;
  }
  mediaUnits += TimestampDelta(packet.Timestamp(), lastTimestamp);
  lastTimestamp = packet.Timestamp();
  estimator.Arrival(nowMs, static_cast<uint32_t>(mediaUnits / kSamplesPerMs), afterPause);

  PacketBuffer::Insert result = buffer.Put(packet, nowMs);
  if (result == PacketBuffer::Insert::kTooFar) {
    // A sender restart, or a jump no buffer could bridge: start again from this packet, with
    // its media time the new origin.
    buffer.Clear();
    mode = Mode::kIdle;
    haveDelay = false;
    estimator.Reset();
    mediaUnits = packet.Timestamp();
    lastTimestamp = packet.Timestamp();
    estimator.Arrival(nowMs, static_cast<uint32_t>(mediaUnits / kSamplesPerMs), true);
    result = buffer.Put(packet, nowMs);
  }
  switch (result) {
    case PacketBuffer::Insert::kDuplicate:
      ++stats.duplicates;
      return;
    case PacketBuffer::Insert::kLate:
      ++stats.lateFrames;
      return;
    default:
      break;
  }
  const PacketBuffer::Packet* stored = buffer.Back();
  if (stored != nullptr && stored->sequence == packet.Sequence()) {
    const int32_t samples = PacketSamples(*stored);
    if (samples > 0) lastPacketSamples = samples;
  }
  if (mode == Mode::kPlaying && !afterPause) {
    // How long this packet will wait, had it come as quickly as the quickest: the delay the
    // buffer holds for the network's best case.
    // Audio handed out in the player's last request is still being played: counting what of it
    // is left keeps the measure independent of when in the player's cycle a packet comes.
    const int32_t played = static_cast<int32_t>(nowMs - lastGetMs) * kSamplesPerMs;
    const int32_t unplayed = std::max(0, burstSamples - std::max(0, played));
    const int32_t waitMs =
        (TimestampDelta(packet.Timestamp(), playTimestamp) + fifoCount + unplayed) / kSamplesPerMs;
    const double delay = waitMs + estimator.LastLatenessMs();
    quickestDelayMs = haveDelay ? 0.9 * quickestDelayMs + 0.1 * delay : delay;
    haveDelay = true;
  }
}

void PlayoutCore::PushFifo(const int16_t* samples, int32_t count) {
  count = std::min(count, kFifoSamples - fifoCount);
  for (int32_t i = 0; i < count; ++i) fifo[(fifoStart + fifoCount + i) % kFifoSamples] = samples[i];
  fifoCount += count;
}

int32_t PlayoutCore::PopFifo(int16_t* out, int32_t count) {
  count = std::min(count, fifoCount);
  for (int32_t i = 0; i < count; ++i) out[i] = fifo[(fifoStart + i) % kFifoSamples];
  fifoStart = (fifoStart + count) % kFifoSamples;
  fifoCount -= count;
  return count;
}

int32_t PlayoutCore::DecodePacket(const PacketBuffer::Packet& packet) {
  int32_t produced = 0;
  switch (packet.payloadType) {
    case kPayloadPcmu:
    case kPayloadPcma: {
      produced = std::min(packet.length, kFifoSamples);
      for (int32_t i = 0; i < produced; ++i) {
        block[i] = packet.payloadType == kPayloadPcmu ? G711Codec::ULawToLinear(packet.payload[i])
                                                      : G711Codec::ALawToLinear(packet.payload[i]);
      }
      g711Concealer->Good(block, produced);
      break;
    }
    case kPayloadG729: {
      const int32_t frames = packet.length / kG729FrameBytes;
      for (int32_t f = 0; f < frames && produced + kBlockSamples <= kFifoSamples; ++f) {
        int32_t bytes = kBlockSamples * 2;
        g729->Decode(packet.payload + f * kG729FrameBytes, kG729FrameBytes,
                     reinterpret_cast<uint8_t*>(block + produced), bytes);
        produced += bytes / 2;
      }
      lastWasSid = packet.length % kG729FrameBytes == kG729SidBytes;
      if (lastWasSid && produced + kBlockSamples <= kFifoSamples) {
        // A SID frame ends the talk spurt: comfort noise from here until the next speech.
        int32_t bytes = kBlockSamples * 2;
        if (g729->DecodeSid(packet.payload + frames * kG729FrameBytes, kG729SidBytes,
                            reinterpret_cast<uint8_t*>(block + produced), bytes) == G729Codec::kDecodeOk) {
          produced += bytes / 2;
        }
      }
      break;
    }
    case kPayloadG723:
      // No G.723 coder: its frames play as silence of their length.
      produced = std::min(G723Frames(packet.payload, packet.length) * kG723FrameSamples, kFifoSamples);
      std::fill(block, block + produced, int16_t{0});
      break;
    case kPayloadComfortNoise:
      if (comfortNoise->Update(packet.payload, packet.length)) sawComfortNoise = true;
      break;
    default:
      break;
  }
  lastPayloadType = packet.payloadType;
  return produced;
}

void PlayoutCore::Conceal() {
  const int32_t blockMs = kBlockSamples / kSamplesPerMs;
  if (lossMs >= kFadeToNoiseMs) {
    if (lossMs == kFadeToNoiseMs && !sawComfortNoise) {
      // The sender never described its background: fade in noise at the level of the
      // quietest audio heard lately.
      comfortNoise->SetLevel(ComfortNoiseGenerator::kSilentDbov);
      const double level = noiseFloorRms > 1 ? 20.0 * std::log10(noiseFloorRms / 32767.0) : -90.0;
      comfortNoise->FadeTo(std::min(level, -40.0), 2 * kBlockSamples);
    }
    Quiet(true);
  } else {
    if (lastPayloadType == kPayloadG729) {
      int32_t bytes = kBlockSamples * 2;
      if (g729->DecodeErased(reinterpret_cast<uint8_t*>(block), bytes) != G729Codec::kDecodeOk) bytes = 0;
      std::fill(block + bytes / 2, block + kBlockSamples, int16_t{0});
      // The coder's own attenuation is slow: fade out over the last 30 ms before the noise.
      const int32_t fadeStart = kFadeToNoiseMs - 3 * blockMs;
      if (lossMs >= fadeStart) {
        for (int32_t i = 0; i < kBlockSamples; ++i) {
          const double done = (lossMs - fadeStart + static_cast<double>(i) / kSamplesPerMs) / (3.0 * blockMs);
          block[i] = static_cast<int16_t>(block[i] * std::max(0.0, 1.0 - done));
        }
      }
    } else if (lastPayloadType == kPayloadPcmu || lastPayloadType == kPayloadPcma) {
      g711Concealer->Conceal(block, kBlockSamples);
    } else {
      std::fill(block, block + kBlockSamples, int16_t{0});
    }
    PushFifo(block, kBlockSamples);
    stats.concealedMs += blockMs;
  }
  lossMs += blockMs;
}

void PlayoutCore::TrackNoiseFloor(const int16_t* played) {
  double energy = 0;
  for (int32_t i = 0; i < kBlockSamples; ++i) energy += static_cast<double>(played[i]) * played[i];
  const double rms = std::sqrt(energy / kBlockSamples);
  if (rms <= 0) return;
  // Falls at once to a quieter block, rises by about a fifth per second.
  noiseFloorRms = noiseFloorRms <= 0 || rms < noiseFloorRms ? rms : noiseFloorRms * 1.002;
}

void PlayoutCore::Quiet(bool noise) {
  if (noise && lastPayloadType == kPayloadG729 && lastWasSid) {
    // A G.729 sender's pause: the coder's own comfort noise from its last SID.
    int32_t bytes = kBlockSamples * 2;
    if (g729->DecodeNoData(reinterpret_cast<uint8_t*>(block), bytes) != G729Codec::kDecodeOk) bytes = 0;
    std::fill(block + bytes / 2, block + kBlockSamples, int16_t{0});
    stats.comfortNoiseMs += kBlockSamples / kSamplesPerMs;
  } else if (noise) {
    comfortNoise->Generate(block, kBlockSamples);
    stats.comfortNoiseMs += kBlockSamples / kSamplesPerMs;
  } else {
    std::fill(block, block + kBlockSamples, int16_t{0});
    stats.silenceMs += kBlockSamples / kSamplesPerMs;
  }
  PushFifo(block, kBlockSamples);
}

bool PlayoutCore::InNoisePause() const {
  return lastPayloadType == kPayloadComfortNoise || (lastPayloadType == kPayloadG729 && lastWasSid);
}

bool PlayoutCore::DecodeFront() {
  const PacketBuffer::Packet* front = buffer.Front();
  if (front == nullptr) return false;
  const int32_t ahead = TimestampDelta(front->timestamp, playTimestamp);
  const int32_t samples = PacketSamples(*front);
  if (ahead > 0) return false;
  if (ahead + samples <= 0 && samples > 0) {
    // Its turn has passed (its place was concealed): dropped.
    ++stats.lateFrames;
    buffer.PopFront();
    return true;
  }
  // A packet partly overdue (its first part was concealed already) plays only the rest.
  const int32_t produced = DecodePacket(*front);
  const int32_t skip = std::min(ahead < 0 ? -ahead : 0, produced);
  PushFifo(block + skip, produced - skip);
  stats.playedMs += (produced - skip) / kSamplesPerMs;
  playTimestamp = front->timestamp + static_cast<uint32_t>(samples);
  lossMs = 0;
  stretchedSamples = 0;  // the packet came: what was stretched stays as added delay
  buffer.PopFront();
  return true;
}

void PlayoutCore::Get(int16_t* out, uint32_t nowMs) {
  std::lock_guard<std::mutex> guard(mutex);
  if (nowMs != lastGetMs) burstSamples = 0;
  lastGetMs = nowMs;
  burstSamples += kBlockSamples;
  if (mode == Mode::kIdle && fifoCount < kBlockSamples) {
    const PacketBuffer::Packet* front = buffer.Front();
    if (front != nullptr && static_cast<int32_t>(nowMs - front->arrivalMs) >= estimator.TargetMs()) {
      mode = Mode::kPlaying;
      playTimestamp = front->timestamp;
      dryMs = 0;
      lossMs = 0;
      haveDelay = false;
    } else {
      Quiet(InNoisePause());
    }
  }
  while (mode == Mode::kPlaying && fifoCount < kBlockSamples) {
    if (DecodeFront()) {
      dryMs = 0;
      continue;
    }
    const PacketBuffer::Packet* front = buffer.Front();
    const bool noise = InNoisePause();
    if (noise || (front != nullptr && front->marker)) {
      // A pause, not a loss: play it out and start the next talk spurt at the target delay.
      mode = Mode::kIdle;
      Quiet(noise);
      break;
    }
    if (front == nullptr && dryMs >= kRebufferAfterMs) {
      ++stats.rebuffers;
      mode = Mode::kIdle;
      Quiet(true);
      break;
    }
    if (front != nullptr && stretchedSamples > 0) {
      // The packet waited for turned out lost: the time already stretched for it covers that
      // much of its place.
      const int32_t covered = std::min(stretchedSamples, TimestampDelta(front->timestamp, playTimestamp));
      playTimestamp += static_cast<uint32_t>(covered);
      stretchedSamples -= covered;
      continue;
    }
    Conceal();
    if (front == nullptr) {
      // Nothing has come yet: the packet is more likely late than lost. Concealment stretches
      // the time (the delay grows by it) and the packet still plays when it comes.
      dryMs += kBlockSamples / kSamplesPerMs;
      stretchedSamples += kBlockSamples;
    } else {
      // A later packet is here: the missing one is lost, and its place is concealed.
      playTimestamp += kBlockSamples;
    }
  }
  if (mode == Mode::kPlaying) AdjustDelay();
  const int32_t got = PopFifo(out, kBlockSamples);
  std::fill(out + got, out + kBlockSamples, int16_t{0});
  // The scaler hears everything played that it did not make itself.
  const int32_t known = std::min(got, notedAhead);
  notedAhead -= known;
  scaler->NotePlayed(out + known, kBlockSamples - known);
  TrackNoiseFloor(out);
}

void PlayoutCore::AdjustDelay() {
  // The scaler's history must end right before the FIFO's front: after a change, wait until
  // its output has been played.
  if (!haveDelay || notedAhead > 0 || fifoCount < kBlockSamples) return;
  const double error = quickestDelayMs - estimator.TargetMs();
  if (error > -kHysteresisMs && error < kHysteresisMs) return;
  const int32_t count = std::min(fifoCount, 2 * kBlockSamples);
  const int32_t rest = fifoCount - count;
  PopFifo(scratch, count);
  PopFifo(scratch + count, rest);
  int32_t produced;
  if (error > 0) {
    // Far too deep, with the audio here to show it (after a delay spike): catch up twice as
    // fast.
    const bool catchUp = error > kCatchUpAboveMs && QueuedSamples() > kCatchUpAboveMs * kSamplesPerMs;
    const int32_t step = catchUp ? 2 * kMaxStepSamples : kMaxStepSamples;
    const auto wanted = static_cast<int32_t>(std::min<double>(step, error * kSamplesPerMs));
    produced = scaler->Compress(scratch, count, block, wanted);
  } else {
    const auto wanted = static_cast<int32_t>(std::min<double>(kMaxStepSamples, -error * kSamplesPerMs));
    produced = scaler->Expand(scratch, count, block, kFifoSamples, wanted);
  }
  if (produced < 0) {
    produced = count;
    std::copy(scratch, scratch + count, block);
    scaler->NotePlayed(block, count);
  }
  PushFifo(block, produced);
  PushFifo(scratch + count, rest);
  notedAhead = produced;
  const int32_t change = produced - count;
  if (change != 0) {
    stats.timeScaledMs += (change > 0 ? change : -change) / kSamplesPerMs;
    ++stats.delayChanges;
    quickestDelayMs += static_cast<double>(change) / kSamplesPerMs;
  }
}

}  // namespace ve
