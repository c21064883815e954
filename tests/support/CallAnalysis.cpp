#include "support/CallAnalysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "engine/EqualizerSets.h"
#include "platform/Socket.h"
#include "platform/WavPcmReader.h"
#include "support/DeviceSignals.h"
#include "support/SignalTools.h"
#include "support/SpeechSynth.h"
#include "support/WavWriter.h"

namespace ve::test {

namespace {

constexpr int kFrame = 160;
constexpr double kActiveRms = 300.0;
// A sender's frame is a pause when it and the two frames on either side stay within -4..4.
constexpr int kPauseGuardFrames = 2;
constexpr int kSilentSample = 4;

// The delay is followed in blocks of half a second, each within 500 ms of the one before: a
// playout buffer rebuffers when a loaded machine stalls a process for a few hundred ms, which
// shifts the rest of the call until time-scaling pays it back; the speech after the shift
// still has to match the sender's.
constexpr size_t kTrackBlock = 4000;
constexpr int kTrackShift = 4000;

// What the sender's equaliser makes of the speech: the reference the receiver should hear.
std::vector<int16_t> SendEqualized(const std::vector<int16_t>& x) {
  double taps[ve::kEqualizerTaps];
  ve::ExpandEqualizerSet(ve::kSendSetB, taps);
  return FirFilter(x, taps, ve::kEqualizerTaps);
}

// The value of `key` in the statistics' `section` object; null when there is none.
nlohmann::json JsonValue(const std::string& json, const std::string& section, const std::string& key) {
  const nlohmann::json all = nlohmann::json::parse(json, nullptr, false);
  if (!all.is_object() || !all.contains(section) || !all[section].is_object()) return nullptr;
  return all[section].value(key, nlohmann::json());
}

bool QuietAround(const std::vector<int16_t>& x, size_t from) {
  const size_t begin = from >= kPauseGuardFrames * kFrame ? from - kPauseGuardFrames * kFrame : 0;
  const size_t end = std::min(x.size(), from + (kPauseGuardFrames + 1) * kFrame);
  for (size_t i = begin; i < end; ++i) {
    if (std::abs(x[i]) > kSilentSample) return false;
  }
  return true;
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

std::string JsonObject(const std::string& json, const std::string& name) {
  const nlohmann::json all = nlohmann::json::parse(json, nullptr, false);
  return all.is_object() && all.contains(name) ? all[name].dump() : "";
}

HeardSpeech AnalyseHeardSpeech(const std::vector<int16_t>& sent, const std::string& heardWav,
                               const std::string& senderStats, const std::string& receiverStats) {
  HeardSpeech d;
  const std::vector<int16_t> recorded = ReadWavSamples(heardWav);
  if (recorded.empty()) return d;
  // The heard file starts when the receiver started, the spoken file when the sender started:
  // on the sender's clock a lag is the mouth-to-ear delay, whichever side started first.
  const double receiveStart = JsonNumber(receiverStats, "timing", "receive_start_unix_ms");
  const double sendStart = JsonNumber(senderStats, "timing", "send_start_unix_ms");
  if (receiveStart <= 0 || sendStart <= 0) return d;
  const double startOffsetMs = receiveStart - sendStart;
  const std::vector<int16_t> heard = OnReferenceClock(recorded, startOffsetMs);
  if (heard.size() < 2) return d;
  std::vector<int16_t> reference = SendEqualized(sent);
  // The delay comes from the first 3 s of speech within 1 s of lag: enough to align, and cheap
  // enough for sanitizer builds.
  std::vector<int16_t> head(reference.begin(), reference.begin() + std::min<size_t>(reference.size(), 24000));
  int lag = BestLag(head, heard, std::min<int>(8000, static_cast<int>(heard.size()) - 1));
  d.delayMs = lag / 8.0;
  std::vector<int> lags = TrackLag(reference, heard, lag, kTrackBlock, kTrackShift, kActiveRms);
  for (size_t i = 1; i < lags.size(); ++i) d.delayChanges += lags[i] != lags[i - 1] ? 1 : 0;
  std::vector<int> spoken = ActiveBlockLags(lags, reference, heard.size(), kTrackBlock, kActiveRms);
  if (!spoken.empty()) {
    std::sort(spoken.begin(), spoken.end());
    d.medianDelayMs = spoken[spoken.size() / 2] / 8.0;
    d.maxDelayMs = spoken.back() / 8.0;
  }
  d.segmentalSnr = SegmentalSnr(reference, heard, lags, kTrackBlock, kActiveRms);
  size_t active = 0, missing = 0;
  double pauseEnergy = 0;
  for (size_t from = 0; from + kFrame <= reference.size(); from += kFrame) {
    const size_t at = from + static_cast<size_t>(lags[std::min(from / kTrackBlock, lags.size() - 1)]);
    const bool arrived = at + kFrame <= heard.size();
    if (arrived && QuietAround(reference, from)) {
      const double rms = Rms(heard, at, kFrame);
      pauseEnergy += rms * rms;
      ++d.pauseFrames;
    }
    if (Rms(reference, from, kFrame) < kActiveRms) continue;
    ++active;
    if (!arrived || Rms(heard, at, kFrame) < kActiveRms / 4) ++missing;
  }
  d.missingShare = active ? double(missing) / double(active) : 1.0;
  const double pauseRms = d.pauseFrames > 0 ? std::sqrt(pauseEnergy / d.pauseFrames) : 0.0;
  d.pauseLevelDbfs = pauseRms > 0 ? 20.0 * std::log10(pauseRms / 32768.0) : -120.0;
  return d;
}

}  // namespace ve::test
