#include "support/SpeechSynth.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace ve::test {

namespace {

// Single-quotes a word for the shell.
std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

const char* const kSentences[] = {
    "The quick brown fox jumps over the lazy dog.",
    "Please call me back at seven thirty this evening.",
    "She sells sea shells by the sea shore, while a thousand voices sing.",
    "How much wood would a woodchuck chuck?",
};

}  // namespace

bool SpeechToolsAvailable() {
  static const bool available =
      std::system("command -v espeak-ng >/dev/null 2>&1 && command -v sox >/dev/null 2>&1") == 0;
  return available;
}

std::vector<int16_t> SynthesizeSpeech(const std::string& text, const std::string& voice,
                                      int wordsPerMinute) {
  std::vector<int16_t> samples;
  char dir[] = "/tmp/ve-speech-XXXXXX";
  if (mkdtemp(dir) == nullptr) return samples;
  const std::string wav = std::string(dir) + "/speech.wav";
  const std::string raw = std::string(dir) + "/speech.raw";
  const std::string command = "espeak-ng -v " + Quote(voice) + " -s " + std::to_string(wordsPerMinute) +
                              " -w " + Quote(wav) + " " + Quote(text) + " >/dev/null 2>&1 && sox -D " +
                              Quote(wav) + " -r 8000 -c 1 -b 16 -e signed-integer -L -t raw " +
                              Quote(raw) + " >/dev/null 2>&1";
  if (std::system(command.c_str()) == 0) {
    std::ifstream in(raw, std::ios::binary);
    uint8_t pair[2];
    while (in.read(reinterpret_cast<char*>(pair), 2)) {
      samples.push_back(static_cast<int16_t>(pair[0] | (pair[1] << 8)));
    }
  }
  std::remove(wav.c_str());
  std::remove(raw.c_str());
  rmdir(dir);
  return samples;
}

std::vector<int16_t> SpeechWithPauses(const std::string& voice, double seconds, int pauseMs) {
  static std::mutex lock;
  static std::map<std::string, std::vector<int16_t>> cache;
  const std::string key = voice + "/" + std::to_string(seconds) + "/" + std::to_string(pauseMs);
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;

  const size_t total = static_cast<size_t>(seconds * 8000.0);
  const size_t pause = static_cast<size_t>(pauseMs) * 8;
  std::vector<int16_t> out(pause, 0);
  for (const char* sentence : kSentences) {
    if (out.size() >= total) break;
    const std::vector<int16_t> spoken = SynthesizeSpeech(sentence, voice);
    if (spoken.empty()) return {};
    out.insert(out.end(), spoken.begin(), spoken.end());
    out.insert(out.end(), pause, 0);
  }
  out.resize(total, 0);
  cache[key] = out;
  return out;
}

}  // namespace ve::test
