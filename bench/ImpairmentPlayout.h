#pragma once

// The playing half of the impairment bench: runs a scripted scenario (ImpairmentScript.h) in
// real time, with the decoded samples pushed into the receive side on one thread and a paced
// player pulling on another, and measures what was played.
//
// Typical use:
//   SsrcSelectorFilter selector;  selector.Prepare();
//   PlayoutResult r = RunScenario(scenario, &selector, &selector, {.speed = 1});
//   r.AddStats(selector.Stats());  r.finalDepthMs = selector.CurrentDepthMs();
//   std::printf("%s\n%s\n", FormatHeader().c_str(), FormatRow(r).c_str());

#include <cstdint>
#include <string>
#include <vector>

#include "baseline/RtpPlayoutQueue.h"
#include "support/ImpairmentScript.h"

namespace ve {
class AudioSample;
class AudioSinkListener;
class AudioSourceListener;
}  // namespace ve

namespace ve::test {

// A decoded 16-bit PCM sample of `durationMs` carrying a header-only RTP packet with the given
// fields, as the decoder hands it on. A comfort-noise packet (payload type 13) gives a 20 ms
// gap marker with no data that still carries its packet. The caller owns the reference.
AudioSample* MakeDecodedSample(uint32_t ssrc, uint16_t sequence, uint32_t timestamp, int32_t durationMs,
                               uint8_t payloadType = kPayloadPcmu);

struct RunOptions {
  double speed = 1;             // media milliseconds per real millisecond
  double playerStartMs = 10;    // the player's first request, in media time
  double tailMs = 600;          // the player goes on this long after the last arrival
  int32_t emptyPullMs = 20;     // media time a request that returns nothing stands for
  // Instead of two real-time threads, push and pull on the calling thread in media-time order,
  // as fast as possible: the same figures on every run, for comparing changes.
  bool virtualTime = false;
};

// One request of the player.
struct PlayRecord {
  double atMs;  // media time the returned audio starts playing
  const void* sample;  // identity of the returned sample (null for none)
  bool audio;          // carried a packet (false: gap marker or nothing)
  uint32_t ssrc;
  uint16_t sequence;
  uint32_t timestamp;
  int32_t durationMs;
};

struct PlayoutResult {
  std::string name;
  int64_t sent = 0;
  int64_t arrived = 0;          // including duplicates
  int64_t played = 0;           // distinct packets played at least once
  int64_t playedAgain = 0;      // a packet played a second time as a new sample (duplicates)
  int64_t repeated = 0;         // the same sample handed out again to cover a gap
  // Gap markers after the first audio and before the last arrival, the silence they stood for,
  // and how many times they broke the audio off.
  int64_t gapMarkers = 0;
  int64_t gapMs = 0;
  int64_t gapRuns = 0;
  double firstAudioMs = -1;     // when the first audio played
  double latencyMeanMs = 0;     // play time minus send time, over first plays
  double latencyP95Ms = 0;
  bool inOrder = true;          // per sender: timestamps strictly rising within a stream epoch
  std::vector<uint32_t> playedSsrcs;  // distinct, in order of first play
  std::vector<PlayRecord> plays;      // every request of the player, in order
  // From the selector's statistics (AddStats) and state:
  int64_t lateDropped = 0;
  int64_t overflowDropped = 0;
  int64_t skipped = 0;
  int64_t discarded = 0;
  int64_t restarts = 0;
  int64_t rebuffers = 0;
  int64_t currentDropped = 0;
  int64_t depthLowered = 0;
  int64_t depthRaised = 0;
  int32_t finalDepthMs = -1;

  void AddStats(const PlayoutStats& stats);
};

// Pushes the scenario's arrivals into `input` (TakeNextAudioSample, decoder thread) and pulls
// from `output` (GiveNextAudioSample, player thread), both paced in real time scaled by
// `options.speed` (or interleaved in virtual time); returns the measurements. Both threads have
// ended on return.
PlayoutResult RunScenario(const Scenario& scenario, AudioSourceListener* input, AudioSinkListener* output,
                          const RunOptions& options = {});

// The measurements of a run whose plays were recorded elsewhere.
PlayoutResult Measure(const Scenario& scenario, const Schedule& schedule, const std::vector<PlayRecord>& plays);

// One line per scenario, for comparing runs.
std::string FormatHeader();
std::string FormatRow(const PlayoutResult& result);

// The table: clean, loss, jitter, reordering, duplication, skew, SSRC change, restart,
// comfort noise, two sources, for 20 ms and 50 ms frames where it matters.
std::vector<Scenario> StandardScenarios(double durationMs);

}  // namespace ve::test
