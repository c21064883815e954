#pragma once

// The impairment bench: scripted RTP senders and a network model that turns their packets
// into a list of arrivals (loss, jitter, reordering, duplication), for the playout benchmark
// to play.
//
// Everything here is deterministic for a given seed and works in media milliseconds.

#include <cstdint>
#include <string>
#include <vector>

namespace ve::bench {

// One RTP sender. Times are media milliseconds from the start of the run.
struct SenderScript {
  uint32_t ssrc = 0x1000;
  int32_t frameMs = 20;  // decoded duration of each packet (20 for G.711, 50 for G.729 blocks)
  uint16_t firstSequence = 1000;
  uint32_t firstTimestamp = 160000;
  double startMs = 0;
  double stopMs = -1;  // < 0: until the end of the run
  // Clock skew: +0.005 sends 0.5 % more audio per second of real time than it should.
  double skew = 0;
  // Talk spurts of talkMs separated by silences of silenceMs, each silence announced by one
  // comfort-noise packet. 0 talkMs: one continuous spurt.
  int32_t talkMs = 0;
  int32_t silenceMs = 0;
  // The sender switches to a new SSRC (with new random sequence and timestamp bases).
  double ssrcChangeAtMs = -1;
  uint32_t newSsrc = 0x2000;
  // The sender restarts: sequence number and timestamp jump back as after a fresh start.
  double restartAtMs = -1;
  int32_t restartSequenceBack = 1000;
  uint32_t restartTimestampBack = 80000;
};

// The path between sender and receiver.
struct NetworkScript {
  double baseDelayMs = 20;
  double randomLoss = 0;    // independent loss probability per packet
  double burstEnter = 0;    // two-state loss: P(good -> lossy) per packet
  double burstLeave = 0.5;  // P(lossy -> good) per packet; every packet in the lossy state is lost
  double uniformJitterMs = 0;   // extra delay uniform in [0, uniformJitterMs]
  double paretoJitterMs = 0;    // heavy tail: extra delay paretoJitterMs * (Pareto(shape) - 1)
  double paretoShape = 2.5;
  double paretoCapMs = 1000;
  double reorderRate = 0;    // probability a packet is held back behind the next one
  double duplicateRate = 0;  // probability a packet arrives twice
  double duplicateDelayMs = 15;
};

struct Scenario {
  std::string name;
  std::vector<SenderScript> senders;
  NetworkScript network;
  double durationMs = 10000;
  uint32_t seed = 1;
};

// One packet as sent and, when not lost, as it arrives.
struct ScriptedPacket {
  uint32_t ssrc;
  uint16_t sequence;
  uint32_t timestamp;
  uint8_t payloadType;
  int32_t durationMs;
  double sendMs;    // media time the sender produced it
  double arriveMs;  // media time it reaches the receiver
  int32_t sender;   // index into Scenario::senders
  int32_t epoch;    // counts SSRC changes and restarts of that sender
  int32_t index;    // position in the send order of the whole scenario
};

struct Schedule {
  std::vector<ScriptedPacket> sent;      // every packet, in send order
  std::vector<ScriptedPacket> arrivals;  // what arrives, in arrival order (duplicates included)
};

// Runs the senders and the network of `scenario` with its seed.
Schedule BuildSchedule(const Scenario& scenario);

}  // namespace ve::bench
