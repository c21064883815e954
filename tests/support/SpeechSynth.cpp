#include "support/SpeechSynth.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include "support/SpeechSentences.h"

namespace ve::test {

namespace {

// 16-bit little-endian samples of a raw file; empty when it cannot be read.
std::vector<int16_t> ReadRaw(const std::string& path) {
  std::vector<int16_t> samples;
  std::ifstream in(path, std::ios::binary);
  uint8_t pair[2];
  while (in.read(reinterpret_cast<char*>(pair), 2)) {
    samples.push_back(static_cast<int16_t>(pair[0] | (pair[1] << 8)));
  }
  return samples;
}

#ifdef _WIN32

// Windows programs (run under Wine) cannot start the Linux tools: the build speaks the
// sentences beforehand (tests/SpeechFiles.cmake) into this folder, which the environment
// variable VE_TEST_SPEECH_DIR may override.
std::string SpeechFolder() {
  const char* chosen = std::getenv("VE_TEST_SPEECH_DIR");
  if (chosen != nullptr && *chosen != '\0') return chosen;
#ifdef VE_TEST_SPEECH_DIR
  return VE_TEST_SPEECH_DIR;
#else
  return {};
#endif
}

#else

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

#endif

}  // namespace

#ifdef _WIN32

bool SpeechToolsAvailable() {
  static const bool available = [] {
    std::error_code ignored;
    const std::string folder = SpeechFolder();
    return !folder.empty() && std::filesystem::exists(std::filesystem::path(folder) / "complete", ignored);
  }();
  return available;
}

std::vector<int16_t> SynthesizeSpeech(const std::string& text, const std::string& voice,
                                      int wordsPerMinute) {
  for (size_t index = 0; index < std::size(kSpeechSentences); ++index) {
    if (text != kSpeechSentences[index]) continue;
    return ReadRaw(SpeechFolder() + "/" + voice + "-" + std::to_string(wordsPerMinute) + "-" +
                   std::to_string(index) + ".raw");
  }
  return {};
}

#else

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
  if (std::system(command.c_str()) == 0) samples = ReadRaw(raw);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return samples;
}

#endif

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
  for (const char* sentence : kSpeechSentences) {
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
