// vecall: one end of a call from the command line. It binds the UDP sockets itself (RTP on
// PORT, RTCP on PORT+1), sets up one engine and runs the call until --duration elapses or
// Ctrl-C, then stops cleanly. Every engine call's result is checked; a failure names the call
// and its code.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CallOptions.h"
#include "HostSystem.h"
#include "voiceengine/DebugOutput.h"
#include "voiceengine/Devices.h"
#include "voiceengine/Extensions.h"
#include "voiceengine/Version.h"
#include "voiceengine/VoiceEngine.h"

namespace {

using vecall::ExitCode;

ExitCode Fail(ExitCode code, const std::string& message) {
  std::fprintf(stderr, "vecall: %s\n", message.c_str());
  return code;
}

// Whether an engine call succeeded (failures are negative codes; SetSockets returns the RTP
// socket); says which one failed and with what code.
bool Ok(const char* call, int32_t result) {
  if (result < 0) std::fprintf(stderr, "vecall: %s failed with code %d\n", call, result);
  return result >= 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Describe(const voiceengine::DeviceInfo& device) {
  return std::to_string(device.id) + " " + device.name;
}

// A sound device of the direction by its number or by part of its name, case-insensitive. A
// device whose name is the text, or starts with it followed by its description in brackets,
// wins over others that merely contain it ("pulse" picks "pulse (...)" over "default (...
// PulseAudio ...)").
ExitCode FindDevice(const std::string& choice, bool capture, uint32_t* id) {
  const char* kind = capture ? "microphone" : "speaker";
  std::vector<voiceengine::DeviceInfo> devices = voiceengine::ListDevices();
  std::erase_if(devices, [&](const auto& d) { return capture ? !d.capture : !d.playback; });
  std::string list;
  for (const auto& device : devices) list += "\n  " + Describe(device);
  if (devices.empty()) list = " none";
  const bool number = std::all_of(choice.begin(), choice.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  std::vector<voiceengine::DeviceInfo> found;
  for (const auto& device : devices) {
    if (number ? std::to_string(device.id) == choice : Lower(device.name).find(Lower(choice)) != std::string::npos) {
      found.push_back(device);
    }
  }
  if (found.size() > 1) {
    std::vector<voiceengine::DeviceInfo> whole;
    for (const auto& device : found) {
      const std::string name = Lower(device.name), wanted = Lower(choice);
      if (name == wanted || name.rfind(wanted + " (", 0) == 0) whole.push_back(device);
    }
    if (whole.size() == 1) found = whole;
  }
  if (found.size() == 1) {
    *id = found.front().id;
    return ExitCode::kOk;
  }
  std::string candidates;
  for (const auto& device : found) candidates += "\n  " + Describe(device);
  return found.empty() ? Fail(ExitCode::kDeviceOrNetwork, std::string("no ") + kind + " matches '" + choice +
                                                               "'; the " + kind + "s are:" + list)
                       : Fail(ExitCode::kDeviceOrNetwork,
                              "'" + choice + "' matches several " + kind + "s:" + candidates);
}

// Turns a --mic or --speaker value into a device id, adding a virtual device when needed.
ExitCode ChooseDevice(const std::string& choice, bool capture, uint32_t* id, bool* added) {
  *added = false;
  if (choice == "default") {
    *id = voiceengine::kDefaultDevice;
    return ExitCode::kOk;
  }
  if (choice.rfind("file:", 0) == 0) {
    const std::string path = choice.substr(5);
    const int32_t result = capture ? voiceengine::AddWavFileCaptureDevice("vecall file", path.c_str(), false, id)
                                   : voiceengine::AddWavFilePlaybackDevice("vecall recorder", path.c_str(), id);
    if (result != 0) {
      return Fail(ExitCode::kFile, "cannot use " + path +
                                       (capture ? " (unreadable or not a PCM WAV file" : " (cannot be written") +
                                       ", code " + std::to_string(result) + ")");
    }
  } else if (capture && choice.rfind("tone:", 0) == 0) {
    char* end = nullptr;
    const double hz = std::strtod(choice.c_str() + 5, &end);
    if (*end != '\0' || !(hz > 0 && hz < 4000)) {
      return Fail(ExitCode::kUsage, "bad tone frequency: " + choice + " (above 0 and below 4000 Hz)");
    }
    if (!Ok("AddToneCaptureDevice", voiceengine::AddToneCaptureDevice("vecall tone", hz, 8000, id))) {
      return ExitCode::kEngineCall;
    }
  } else if (capture && choice == "silence") {
    if (!Ok("AddSilenceCaptureDevice", voiceengine::AddSilenceCaptureDevice("vecall silence", id))) {
      return ExitCode::kEngineCall;
    }
  } else if (!capture && choice == "null") {
    if (!Ok("AddDiscardPlaybackDevice", voiceengine::AddDiscardPlaybackDevice("vecall null", id))) {
      return ExitCode::kEngineCall;
    }
  } else {
    return FindDevice(choice, capture, id);
  }
  *added = true;
  return ExitCode::kOk;
}

void PrintDevices() {
  for (const auto& device : voiceengine::ListDevices()) {
    std::printf("%4u %c %-7s %s%s\n", device.id, device.isDefault ? '*' : ' ',
                device.capture && device.playback ? "in/out" : device.capture ? "in" : "out", device.name.c_str(),
                device.isVirtual ? " (virtual)" : "");
  }
  std::printf("* the system's default, which --mic/--speaker default use\n");
}

const char* CodecName(int32_t type, bool uLaw) {
  switch (type) {
    case 0:
      return uLaw ? "pcmu" : "pcma";
    case 2:
      return "g729";
    default:
      return "none";
  }
}

const char* DialectName(int32_t dialect) {
  switch (dialect) {
    case 1:
      return "legacy";
    case 2:
      return "standard";
    default:
      return "undecided";
  }
}

// Wall-clock milliseconds, so two processes' start times can be compared.
int64_t UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A figure rounded to `decimals` places, as the statistics file shows it.
double Rounded(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

// `cpuMs`: the processor time the process used in the last `callMs` of the call (0 and 0 for a
// call shorter than a second).
bool WriteStats(const std::string& path, const voiceengine::CallStatistics& s, int64_t receiveStartMs,
                int64_t sendStartMs, int64_t callMs, int64_t cpuMs) {
  using Json = nlohmann::ordered_json;
  Json stats;
  stats["codec"] = CodecName(s.codecType, s.uLaw);
  stats["rtp"] = {{"sent_packets", s.rtpPacketsSent},       {"sent_bytes", s.rtpBytesSent},
                  {"received_packets", s.rtpPacketsReceived}, {"received_bytes", s.rtpBytesReceived},
                  {"lost", s.packetsLost},                   {"fraction_lost", Rounded(s.fractionLost, 4)},
                  {"jitter_ms", Rounded(s.jitterMs, 2)},     {"remote_ssrc", s.remoteSsrc}};
  // The peer's name comes off the network: bytes that are not UTF-8 are replaced when written.
  stats["rtcp"] = {{"sent_reports", s.rtcpReportsSent},
                   {"received_reports", s.rtcpReportsReceived},
                   {"rtt_ms", Rounded(s.roundTripMs, 2)},
                   {"delay_ms", Rounded(s.oneWayDelayMs, 2)},
                   {"remote_cname", std::string(s.remoteCname, strnlen(s.remoteCname, sizeof s.remoteCname))},
                   {"local_ssrc", s.localSsrc},
                   {"send_dialect", DialectName(s.rtcpSendDialect)},
                   {"peer_dialect", DialectName(s.rtcpPeerDialect)},
                   {"peer_reported", s.peerReported},
                   {"peer_reported_lost", s.peerPacketsLost},
                   {"peer_reported_fraction_lost", Rounded(s.peerFractionLost, 4)},
                   {"peer_reported_jitter_ms", Rounded(s.peerJitterMs, 2)}};
  stats["drops"] = {{"wrong_source", s.droppedWrongSource},
                    {"malformed", s.droppedMalformed},
                    {"unknown_payload_type", s.droppedUnknownPayloadType},
                    {"on_probation", s.droppedOnProbation},
                    {"duplicate", s.droppedDuplicate},
                    {"rtcp_wrong_source", s.rtcpDroppedWrongSource},
                    {"rtcp_malformed", s.rtcpDroppedMalformed},
                    {"latched", s.sourceLatched}};
  stats["playout"] = {{"depth_ms", s.playoutDepthMs},
                      {"target_ms", s.playoutTargetMs},
                      {"repeats", s.playoutRepeats},
                      {"drops", s.playoutDrops},
                      {"rebuffers", s.playoutRebuffers},
                      {"gap_markers", s.playoutGapMarkers},
                      {"concealed_ms", s.playoutConcealedMs},
                      {"comfort_noise_ms", s.playoutComfortNoiseMs},
                      {"time_scaled_ms", s.playoutTimeScaledMs},
                      {"delay_changes", s.playoutDelayChanges},
                      {"speaker_queue_ms", s.speakerQueueMs},
                      {"speaker_underruns", s.speakerUnderruns}};
  stats["timing"] = {{"receive_start_unix_ms", receiveStartMs},
                     {"send_start_unix_ms", sendStartMs},
                     {"cpu_window_ms", callMs},
                     {"cpu_ms", cpuMs}};
  std::ofstream file(path);
  file << stats.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  return file.good();
}

// A ten-step meter of a peak level on a logarithmic scale (60 dB down to full scale).
std::string Meter(int32_t peak) {
  int steps = 0;
  if (peak > 0) steps = static_cast<int>((20.0 * std::log10(peak / 32768.0) + 60.0) / 6.0 + 0.5);
  steps = std::max(0, std::min(10, steps));
  return std::string(static_cast<size_t>(steps), '#') + std::string(static_cast<size_t>(10 - steps), '.');
}

void PrintStatus(double elapsed, const voiceengine::CallStatistics& s) {
  std::string rtt = s.roundTripMs < 0 ? "-" : std::to_string(static_cast<int>(s.roundTripMs)) + "ms";
  std::printf("\r%6.1fs %s sent %llu recv %llu lost %lld jitter %.1fms rtt %s delay %d/%dms concealed %llums speaker %dms/%llu in [%s] out [%s] ",
              elapsed, CodecName(s.codecType, s.uLaw), static_cast<unsigned long long>(s.rtpPacketsSent),
              static_cast<unsigned long long>(s.rtpPacketsReceived), static_cast<long long>(s.packetsLost),
              s.jitterMs, rtt.c_str(), s.playoutDepthMs, s.playoutTargetMs,
              static_cast<unsigned long long>(s.playoutConcealedMs), s.speakerQueueMs,
              static_cast<unsigned long long>(s.speakerUnderruns), Meter(s.inputPeak).c_str(),
              Meter(s.outputPeak).c_str());
  std::fflush(stdout);
}


// Runs the call on a set-up engine until --duration passes or an interrupt, then writes the
// statistics.
ExitCode TalkUntilEnd(VoiceEngine& engine, const vecall::CallOptions& options, int64_t receiveStartMs,
                      int64_t sendStartMs) {
  const bool terminal = vecall::OutputIsTerminal() && !options.verbose;
  const auto start = std::chrono::steady_clock::now();
  const auto end = options.durationSeconds > 0
                       ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(options.durationSeconds))
                       : std::chrono::steady_clock::time_point::max();
  // Processor time is counted from the call's second second on, when starting is over: what
  // the running call costs.
  int64_t steadyCpuMs = -1;
  auto steadyFrom = start;
  auto nextStatus = start + std::chrono::seconds(1);
  voiceengine::CallStatistics stats;
  for (auto now = start; now < end; now = std::chrono::steady_clock::now()) {
    if (steadyCpuMs < 0 && now - start >= std::chrono::seconds(1)) {
      steadyCpuMs = vecall::ProcessCpuMs();
      steadyFrom = now;
    }
    if (terminal && now >= nextStatus) {
      if (!Ok("GetStatistics", voiceengine::GetStatistics(&engine, &stats))) return ExitCode::kEngineCall;
      PrintStatus(std::chrono::duration<double>(now - start).count(), stats);
      nextStatus += std::chrono::seconds(1);
    }
    // Wakes for the status line, the second second and the end of the call, or at an interrupt.
    auto wake = std::min(end, terminal ? nextStatus : end);
    if (steadyCpuMs < 0) wake = std::min(wake, start + std::chrono::seconds(1));
    if (vecall::WaitForInterrupt(wake)) break;
  }
  if (terminal) std::printf("\n");
  // The last figures are taken while the call still runs: stopping ends its statistics.
  if (!Ok("GetStatistics", voiceengine::GetStatistics(&engine, &stats))) return ExitCode::kEngineCall;
  const auto steadyMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - steadyFrom).count();
  if (!options.statsPath.empty() &&
      !WriteStats(options.statsPath, stats, receiveStartMs, sendStartMs, steadyCpuMs < 0 ? 0 : steadyMs,
                  steadyCpuMs < 0 ? 0 : vecall::ProcessCpuMs() - steadyCpuMs)) {
    return Fail(ExitCode::kFile, "cannot write " + options.statsPath);
  }
  return ExitCode::kOk;
}

// Configures the engine for the call; false (the failed call named) when a call fails.
bool SetUp(VoiceEngine& engine, const vecall::CallOptions& options, const std::string& remoteAddress, int rtpSocket,
           int rtcpSocket) {
  const uint16_t remoteRtcp = options.noRtcp ? 0 : static_cast<uint16_t>(options.remote.port + 1);
  const auto dialect = options.rtcp == "standard" ? voiceengine::RtcpDialect::kStandard
                       : options.rtcp == "legacy" ? voiceengine::RtcpDialect::kLegacy
                                                  : voiceengine::RtcpDialect::kAuto;
  const auto law = options.codec == "pcmu" ? voiceengine::G711Law::kULaw : voiceengine::G711Law::kALaw;
  return Ok("Initialize", engine.Initialize()) && Ok("SetSockets", engine.SetSockets(rtpSocket, rtcpSocket)) &&
         Ok("SetRtcpDialect", voiceengine::SetRtcpDialect(&engine, dialect)) &&
         Ok("SetStrictSourceCheck", voiceengine::SetStrictSourceCheck(&engine, options.strictSource)) &&
         Ok("SetRemote", engine.SetRemote(remoteAddress.c_str(), options.remote.port, remoteRtcp)) &&
         Ok("SetCodec", engine.SetCodec(options.codec == "g729" ? 2 : 0)) &&
         Ok("SetG711Law", voiceengine::SetG711Law(&engine, law)) &&
         Ok("ConfigureReceive", engine.ConfigureReceive(0, 0, 0, 0)) &&
         Ok("ConfigureSend", engine.ConfigureSend(0, 0, 0, 0, 0, 0)) &&
         Ok("SetCaptureVolume", engine.SetCaptureVolume(0, options.inputLevel));
}

// Sets up the engine on the sockets and devices, runs the call and stops it again.
ExitCode Call(const vecall::CallOptions& options, const std::string& remoteAddress, int rtpSocket, int rtcpSocket,
              uint32_t mic, uint32_t speaker) {
  VoiceEngine engine;
  const auto speakerId = static_cast<int32_t>(speaker);
  // Wall-clock times of the two starts: the statistics carry them so that the recordings of
  // two processes can be aligned.
  int64_t receiveStartMs = 0, sendStartMs = 0;
  bool running = SetUp(engine, options, remoteAddress, rtpSocket, rtcpSocket);
  if (running) {
    receiveStartMs = UnixMs();
    running = Ok("StartReceiving", engine.StartReceiving(speakerId));
  }
  if (running) {
    sendStartMs = UnixMs();
    running = Ok("StartSending", engine.StartSending(static_cast<int32_t>(mic)));
  }
  int32_t fileId = 0;
  running = running && Ok("SetPlaybackVolume", engine.SetPlaybackVolume(speakerId, options.volume)) &&
            (options.playFile.empty() ||
             Ok("PlayFile", engine.PlayFile(options.playFile.c_str(), 1, speakerId, options.fileLevel, &fileId))) &&
            (options.sendFile.empty() ||
             Ok("SendFile", engine.SendFile(options.sendFile.c_str(), 1, options.fileLevel, &fileId)));
  const ExitCode code = running ? TalkUntilEnd(engine, options, receiveStartMs, sendStartMs) : ExitCode::kEngineCall;
  // Stopping is checked too, whatever went before; each stop runs even when one before failed.
  const bool stopped = Ok("StopSending", engine.StopSending()) & Ok("StopReceiving", engine.StopReceiving()) &
                       Ok("Uninitialize", engine.Uninitialize());
  return code == ExitCode::kOk && !stopped ? ExitCode::kEngineCall : code;
}

// The engine's version: the loaded library's on Linux. The Windows vecall links the engine's
// static libraries (the DLL exports only the engine class), so its engine is its own version.
std::string EngineVersion() {
#ifdef _WIN32
  return std::string("engine ") + VECALL_VERSION + " (linked in)";
#else
  return std::string("engine library ") + voiceengine::LibraryVersion();
#endif
}

ExitCode Run(int argc, char** argv) {
  vecall::CallOptions options;
  const std::string version = std::string("vecall ") + VECALL_VERSION + ", " + EngineVersion();
  if (auto ended = vecall::ParseCallOptions(argc, argv, version, &options)) return *ended;
  if (options.listDevices) {
    PrintDevices();
    return ExitCode::kOk;
  }
  vecall::WatchInterrupts();
  voiceengine::SetDebugOutputEnabled(options.verbose);

  if (!vecall::StartNetwork()) return Fail(ExitCode::kDeviceOrNetwork, "the system's socket services cannot start");
  const std::string localAddress = vecall::ResolveIpv4(options.local.host);
  const std::string remoteAddress = vecall::ResolveIpv4(options.remote.host);
  if (localAddress.empty()) return Fail(ExitCode::kDeviceOrNetwork, "unknown local address: " + options.local.host);
  if (remoteAddress.empty()) return Fail(ExitCode::kDeviceOrNetwork, "unknown remote address: " + options.remote.host);
  for (const std::string& path : {options.playFile, options.sendFile}) {
    if (!path.empty() && !vecall::Readable(path)) return Fail(ExitCode::kFile, "cannot read " + path);
  }
  std::string error;
  const int rtpSocket = vecall::BindUdp(localAddress, options.local.port, &error);
  if (rtpSocket < 0) return Fail(ExitCode::kDeviceOrNetwork, error);
  const int rtcpSocket = vecall::BindUdp(localAddress, static_cast<uint16_t>(options.local.port + 1), &error);
  ExitCode code = rtcpSocket < 0 ? Fail(ExitCode::kDeviceOrNetwork, error) : ExitCode::kOk;

  uint32_t mic = 0, speaker = 0;
  bool micAdded = false, speakerAdded = false;
  if (code == ExitCode::kOk) code = ChooseDevice(options.mic, true, &mic, &micAdded);
  if (code == ExitCode::kOk) code = ChooseDevice(options.speaker, false, &speaker, &speakerAdded);
  if (code == ExitCode::kOk) code = Call(options, remoteAddress, rtpSocket, rtcpSocket, mic, speaker);
  vecall::CloseUdp(rtpSocket);
  vecall::CloseUdp(rtcpSocket);
  if (micAdded && !Ok("RemoveDevice", voiceengine::RemoveDevice(mic)) && code == ExitCode::kOk) {
    code = ExitCode::kEngineCall;
  }
  if (speakerAdded && !Ok("RemoveDevice", voiceengine::RemoveDevice(speaker)) && code == ExitCode::kOk) {
    code = ExitCode::kEngineCall;
  }
  vecall::CallFinished();
  return code;
}

}  // namespace

int main(int argc, char** argv) { return static_cast<int>(Run(argc, argv)); }
