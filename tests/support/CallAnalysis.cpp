#include "support/CallAnalysis.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/Socket.h"
#include "platform/WavPcmReader.h"
#include "support/SpeechSynth.h"
#include "support/WavWriter.h"

namespace ve::test {

namespace {

// The value of `key` in the statistics' `section` object; null when there is none.
nlohmann::json JsonValue(const std::string& json, const std::string& section, const std::string& key) {
  const nlohmann::json all = nlohmann::json::parse(json, nullptr, false);
  if (!all.is_object() || !all.contains(section) || !all[section].is_object()) return nullptr;
  return all[section].value(key, nlohmann::json());
}

}  // namespace

std::string CallTempPath(const std::string& name) {
  return ::testing::TempDir() + "e2e-" + std::to_string(ve::platform::GetProcessId()) + "-" + name;
}

void WriteMonoWav(const std::string& path, const std::vector<int16_t>& samples) {
  WriteFile(path, BuildWav(FormatChunk(MakeLinearFormat(1, 8000, 1, 16)), Int16Bytes(samples)));
}

std::vector<int16_t> ReadWavSamples(const std::string& path) {
  ve::platform::WavPcmReader::Audio audio;
  if (ve::platform::WavPcmReader::ReadFile(path.c_str(), &audio) != 0) return {};
  return audio.samples;
}

std::string ReadText(const std::string& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

CallSide::CallSide(const std::string& tag, const std::string& voice, double seconds)
    : says(SpeechWithPauses(voice, seconds)),
      saysPath(CallTempPath(tag + "-says.wav")),
      heardPath(CallTempPath(tag + "-heard.wav")),
      statsPath(CallTempPath(tag + ".json")) {
  if (!says.empty()) WriteMonoWav(saysPath, says);
}

CallSide::~CallSide() {
  for (const auto& path : {saysPath, heardPath, statsPath}) std::remove(path.c_str());
}

std::vector<std::string> CallSide::Command(const std::string& program, uint16_t localPort, uint16_t remotePort,
                                           const std::string& codec, double seconds) const {
  return {program, "--local", "127.0.0.1:" + std::to_string(localPort), "--remote",
          "127.0.0.1:" + std::to_string(remotePort), "--codec", codec, "--mic", "file:" + saysPath, "--speaker",
          "file:" + heardPath, "--duration", std::to_string(seconds), "--stats", statsPath};
}

double JsonNumber(const std::string& json, const std::string& section, const std::string& key) {
  const nlohmann::json value = JsonValue(json, section, key);
  return value.is_number() ? value.get<double>() : -1e9;
}

std::string JsonText(const std::string& json, const std::string& section, const std::string& key) {
  const nlohmann::json value = JsonValue(json, section, key);
  return value.is_string() ? value.get<std::string>() : "";
}

std::optional<bool> JsonFlag(const std::string& json, const std::string& section, const std::string& key) {
  const nlohmann::json value = JsonValue(json, section, key);
  return value.is_boolean() ? std::optional<bool>(value.get<bool>()) : std::nullopt;
}

HeardSpeech AnalyseHeardSpeech(const std::vector<int16_t>& sent, const std::string& heardWav,
                               const std::string& senderStats, const std::string& receiverStats) {
  const std::vector<int16_t> recorded = ReadWavSamples(heardWav);
  // The heard file starts when the receiver started, the spoken file when the sender started:
  // on the sender's clock a lag is the mouth-to-ear delay, whichever side started first.
  const double receiveStart = JsonNumber(receiverStats, "timing", "receive_start_unix_ms");
  const double sendStart = JsonNumber(senderStats, "timing", "send_start_unix_ms");
  if (recorded.empty() || receiveStart <= 0 || sendStart <= 0) return {};
  const std::vector<int16_t> heard = analysis::OnReferenceClock(recorded, receiveStart - sendStart);
  return analysis::CompareSpeech(analysis::SendEqualized(sent), heard, 1000);
}

}  // namespace ve::test
