#pragma once

// What the call tests do around two vecall processes: temporary files, the command line of one
// side, the figures of its statistics file, and how the speech one side sent arrived at the
// other (delay, segmental SNR, missing frames, the level heard where the sender paused).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ve::test {

// A path in the test's temporary folder. Calls of different test programs may run at once
// (ctest -j): the name carries this process's id.
std::string CallTempPath(const std::string& name);

// WAV files of the virtual microphone (written 8 kHz mono 16-bit) and the virtual speaker.
void WriteMonoWav(const std::string& path, const std::vector<int16_t>& samples);
std::vector<int16_t> ReadWavSamples(const std::string& path);  // empty when it cannot be read
std::string ReadText(const std::string& path);

// The arguments of one vecall side on 127.0.0.1: RTP on localPort (RTCP on the next port), the
// peer at remotePort, speaking `micWav` and recording what it hears into `heardWav`.
std::vector<std::string> VecallCommand(const std::string& program, uint16_t localPort, uint16_t remotePort,
                                       const std::string& codec, const std::string& micWav, const std::string& heardWav,
                                       double seconds, const std::string& statsPath);

// Figures of the statistics file: the first `key` after the `section` object's name
// (-1e9 when there is none), a string value ("" when none) and a true/false value.
double JsonNumber(const std::string& json, const std::string& section, const std::string& key);
std::string JsonText(const std::string& json, const std::string& key);
std::optional<bool> JsonFlag(const std::string& json, const std::string& section, const std::string& key);

// How one side's speech arrived at the other.
struct HeardSpeech {
  double delayMs = 0;       // mouth-to-ear: capture start to playout, both processes' clocks aligned
  double segmentalSnr = 0;  // against the sender's equalised speech, over active speech
  double missingShare = 1;  // active speech frames that arrived silent
  int delayChanges = 0;     // times the delay moved during the call (a rebuffer or a slipped frame)
  // The receiver's level, in dB below full scale, over the frames in which the sender was
  // silent (with 40 ms of silence on either side, so alignment and filter tails stay out), and
  // how many such frames there were. -120 when they were all zero.
  double pauseLevelDbfs = 0;
  int pauseFrames = 0;
};

// `sent` as heard in `heardWav`: the sender's and receiver's statistics give their start times,
// which align the two recordings.
HeardSpeech AnalyseHeardSpeech(const std::vector<int16_t>& sent, const std::string& heardWav,
                               const std::string& senderStats, const std::string& receiverStats);

}  // namespace ve::test
