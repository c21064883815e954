#pragma once

// What the call tests do around two vecall processes: temporary files, the files and command
// line of one side, the figures of its statistics file, and how the speech one side sent
// arrived at the other (delay, segmental SNR, missing frames, the level heard where the sender
// paused).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/SpeechComparison.h"

namespace ve::test {

// A path in the test's temporary folder. Calls of different test programs may run at once
// (ctest -j): the name carries this process's id.
std::string CallTempPath(const std::string& name);

// WAV files of the virtual microphone (written 8 kHz mono 16-bit) and the virtual speaker.
void WriteMonoWav(const std::string& path, const std::vector<int16_t>& samples);
std::vector<int16_t> ReadWavSamples(const std::string& path);  // empty when it cannot be read
std::string ReadText(const std::string& path);

// One side of a call: what it says (sentences in `voice`, `seconds` long; empty when the speech
// tools fail) and the files it speaks from, records what it hears into and writes its
// statistics to, named after `tag` and removed by the destructor.
struct CallSide {
  CallSide(const std::string& tag, const std::string& voice, double seconds);
  ~CallSide();
  CallSide(const CallSide&) = delete;
  CallSide& operator=(const CallSide&) = delete;

  // vecall's arguments for this side on 127.0.0.1: RTP on localPort (RTCP on the next port),
  // the peer at remotePort.
  std::vector<std::string> Command(const std::string& program, uint16_t localPort, uint16_t remotePort,
                                   const std::string& codec, double seconds) const;
  std::string Stats() const { return ReadText(statsPath); }

  std::vector<int16_t> says;
  std::string saysPath, heardPath, statsPath;
};

// Figures of the statistics file: `key` of the `section` object as a number (-1e9 when there
// is none), a string ("" when none) or a true/false value.
double JsonNumber(const std::string& json, const std::string& section, const std::string& key);
std::string JsonText(const std::string& json, const std::string& section, const std::string& key);
std::optional<bool> JsonFlag(const std::string& json, const std::string& section, const std::string& key);

// How one side's speech arrived at the other.
using HeardSpeech = analysis::SpeechArrival;

// `sent` as heard in `heardWav`: the sender's and receiver's statistics give their start times,
// which align the two recordings.
HeardSpeech AnalyseHeardSpeech(const std::vector<int16_t>& sent, const std::string& heardWav,
                               const std::string& senderStats, const std::string& receiverStats);
// How `speaker`'s speech arrived at `listener`, once both processes have ended.
inline HeardSpeech AnalyseHeardSpeech(const CallSide& speaker, const CallSide& listener) {
  return AnalyseHeardSpeech(speaker.says, listener.heardPath, speaker.Stats(), listener.Stats());
}

}  // namespace ve::test
