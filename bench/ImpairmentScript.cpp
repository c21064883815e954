#include "ImpairmentScript.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "rtp/PayloadTypes.h"

namespace ve::bench {

namespace {

constexpr int32_t kComfortNoiseMs = 20;
constexpr int32_t kRtpUnitsPerMs = 8;  // 8000 Hz sample clock

double Uniform(std::mt19937& rng) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); }

// The packets one sender produces over the run, before the network.
void RunSender(const SenderScript& script, int32_t senderIndex, double endMs, std::mt19937& rng,
               std::vector<ScriptedPacket>* out) {
  const double intervalMs = script.frameMs / (1.0 + script.skew);
  const double stopMs = script.stopMs >= 0 ? std::min(script.stopMs, endMs) : endMs;
  uint32_t ssrc = script.ssrc;
  uint16_t sequence = script.firstSequence;
  uint32_t timestamp = script.firstTimestamp;
  int32_t epoch = 0;
  bool changed = false;
  bool restarted = false;
  bool comfortNoiseSent = false;
  int64_t mediaMs = 0;  // audio produced on the sender's own clock
  for (double t = script.startMs; t < stopMs; t += intervalMs, mediaMs += script.frameMs) {
    if (script.ssrcChangeAtMs >= 0 && !changed && t >= script.ssrcChangeAtMs) {
      changed = true;
      ssrc = script.newSsrc;
      sequence = static_cast<uint16_t>(rng());
      timestamp = static_cast<uint32_t>(rng());
      ++epoch;
    }
    if (script.restartAtMs >= 0 && !restarted && t >= script.restartAtMs) {
      restarted = true;
      sequence = static_cast<uint16_t>(sequence - script.restartSequenceBack);
      timestamp -= script.restartTimestampBack;
      ++epoch;
    }
    bool talking = true;
    if (script.talkMs > 0) talking = mediaMs % (script.talkMs + script.silenceMs) < script.talkMs;
    if (talking || !comfortNoiseSent) {
      ScriptedPacket packet{};
      packet.ssrc = ssrc;
      packet.sequence = sequence++;
      packet.timestamp = timestamp;
      packet.payloadType = talking ? kPayloadPcmu : kPayloadComfortNoise;
      packet.durationMs = talking ? script.frameMs : kComfortNoiseMs;
      packet.sendMs = t;
      packet.sender = senderIndex;
      packet.epoch = epoch;
      out->push_back(packet);
    }
    comfortNoiseSent = !talking;
    // The sample clock runs on through silences.
    timestamp += static_cast<uint32_t>(script.frameMs * kRtpUnitsPerMs);
  }
}

}  // namespace

Schedule BuildSchedule(const Scenario& scenario) {
  std::mt19937 rng(scenario.seed);
  Schedule schedule;
  for (size_t i = 0; i < scenario.senders.size(); ++i) {
    RunSender(scenario.senders[i], static_cast<int32_t>(i), scenario.durationMs, rng, &schedule.sent);
  }
  std::stable_sort(schedule.sent.begin(), schedule.sent.end(),
                   [](const ScriptedPacket& a, const ScriptedPacket& b) { return a.sendMs < b.sendMs; });
  for (size_t i = 0; i < schedule.sent.size(); ++i) schedule.sent[i].index = static_cast<int32_t>(i);

  const NetworkScript& net = scenario.network;
  bool lossy = false;
  for (ScriptedPacket packet : schedule.sent) {
    if (net.burstEnter > 0) lossy = lossy ? Uniform(rng) >= net.burstLeave : Uniform(rng) < net.burstEnter;
    bool lost = lossy || (net.randomLoss > 0 && Uniform(rng) < net.randomLoss);
    double delay = net.baseDelayMs;
    if (net.uniformJitterMs > 0) delay += net.uniformJitterMs * Uniform(rng);
    if (net.paretoJitterMs > 0) {
      double u = std::max(Uniform(rng), 1e-12);
      delay += std::min(net.paretoJitterMs * (std::pow(u, -1.0 / net.paretoShape) - 1.0), net.paretoCapMs);
    }
    // Held back long enough to arrive behind the packet sent after it.
    if (net.reorderRate > 0 && Uniform(rng) < net.reorderRate) delay += 1.5 * packet.durationMs;
    bool duplicate = net.duplicateRate > 0 && Uniform(rng) < net.duplicateRate;
    if (lost) continue;
    packet.arriveMs = packet.sendMs + delay;
    schedule.arrivals.push_back(packet);
    if (duplicate) {
      packet.arriveMs += net.duplicateDelayMs;
      schedule.arrivals.push_back(packet);
    }
  }
  std::stable_sort(schedule.arrivals.begin(), schedule.arrivals.end(),
                   [](const ScriptedPacket& a, const ScriptedPacket& b) { return a.arriveMs < b.arriveMs; });
  return schedule;
}

}  // namespace ve::bench
