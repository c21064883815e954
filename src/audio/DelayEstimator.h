#pragma once

#include <cstdint>

namespace ve {

// How much buffering a source's arrivals need. Each packet's relative delay is its arrival
// time minus its media time (RTP timestamp at 8 kHz); against the smallest relative delay of
// the last kWindow packets (the ones that came quickest), every packet was late by some amount.
// The target is a high quantile (kQuantile) of that lateness plus a small margin, so it
// follows the measured arrival jitter: it rises at once when late packets appear, and falls
// back slowly (kFallMsPerSecond) once the network calms. A stall of the network and the burst
// that ends it (a delay spike) is kept out of the quantile, so one spike costs one rebuffer
// rather than a permanently deep buffer.
//
// Threads: none of its own; the owner serialises every call.
class DelayEstimator {
 public:
  static constexpr int32_t kWindow = 256;
  static constexpr double kQuantile = 0.97;
  static constexpr int32_t kMarginMs = 5;
  static constexpr int32_t kMinTargetMs = 10;
  static constexpr int32_t kMaxTargetMs = 1000;
  static constexpr int32_t kFallMsPerSecond = 10;
  // A packet this much later than the target, after this long without arrivals, starts a spike.
  static constexpr int32_t kSpikeMs = 80;
  static constexpr int32_t kSpikeBurstMs = 60;  // how long the burst that ends a stall lasts

  DelayEstimator();

  // One arrival: its local time and media time, both in ms (the media time wraps with the
  // RTP timestamp; only differences matter). `afterSilence`: the first packet of a talk spurt,
  // whose delay says nothing about jitter.
  void Arrival(uint32_t arrivalMs, uint32_t mediaMs, bool afterSilence);
  // The delay the buffer should hold now, in ms.
  int32_t TargetMs() const { return target; }
  // How late the last packet (not after a pause) came against the quickest of the window.
  int32_t LastLatenessMs() const { return lastLateness; }
  // Packets taken for a delay spike and kept out of the target.
  int64_t SpikePackets() const { return spikePackets; }
  // Starts afresh (a new source).
  void Reset();

 private:
  // The kQuantile lateness of the window, against its quickest packet.
  int32_t QuantileLateness() const;

  int32_t relative[kWindow];  // arrival minus media time, ms (differences only are meaningful)
  int32_t filled = 0;
  int32_t next = 0;
  int32_t target = kMinTargetMs;
  int64_t fallCredit = 0;     // thousandths of a ms the target may still fall
  int32_t lastLateness = 0;
  bool haveLast = false;
  bool inSpike = false;
  uint32_t spikeStartMs = 0;  // arrival of the packet that started the spike
  int64_t spikePackets = 0;
  uint32_t lastArrivalMs = 0;
};

}  // namespace ve
