// vecall: one end of a call from the command line. It binds the UDP sockets itself (RTP on
// PORT, RTCP on PORT+1), sets up one engine and runs the call until --duration elapses or
// Ctrl-C, then stops cleanly.

#include <atomic>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "CallOptions.h"
#include "HostSystem.h"
#include "voiceengine/DebugOutput.h"
#include "voiceengine/Devices.h"
#include "voiceengine/Extensions.h"
#include "voiceengine/VoiceEngine.h"

namespace {

std::atomic<bool> interrupted{false};

void OnSignal(int) { interrupted = true; }

int Fail(const std::string& message) {
  std::fprintf(stderr, "vecall: %s\n", message.c_str());
  return 1;
}

// Turns a --mic or --speaker value into a device id, adding a virtual device when needed.
bool ChooseDevice(const std::string& choice, bool capture, uint32_t* id, bool* added, std::string* error) {
  int32_t result = 0;
  *added = !(choice == "default" || (!choice.empty() && std::isdigit(static_cast<unsigned char>(choice[0]))));
  if (choice == "default") {
    *id = voiceengine::kDefaultDevice;
  } else if (capture && choice == "silence") {
    result = voiceengine::AddSilenceCaptureDevice("vecall silence", id);
  } else if (capture && choice.rfind("tone:", 0) == 0) {
    char* end = nullptr;
    double hz = std::strtod(choice.c_str() + 5, &end);
    if (*end != '\0' || hz <= 0 || hz >= 4000) {
      *error = "bad tone frequency: " + choice;
      return false;
    }
    result = voiceengine::AddToneCaptureDevice("vecall tone", hz, 8000, id);
  } else if (choice.rfind("file:", 0) == 0) {
    std::string path = choice.substr(5);
    result = capture ? voiceengine::AddWavFileCaptureDevice("vecall file", path.c_str(), false, id)
                     : voiceengine::AddWavFilePlaybackDevice("vecall recorder", path.c_str(), id);
    if (result != 0) {
      *error = "cannot use " + path + (capture ? " (unreadable or not a PCM WAV file)" : " (cannot write)");
      return false;
    }
  } else if (!capture && choice == "null") {
    result = voiceengine::AddDiscardPlaybackDevice("vecall null", id);
  } else {
    char* end = nullptr;
    long number = std::strtol(choice.c_str(), &end, 10);
    bool known = false;
    if (*end == '\0' && number >= 0) {
      for (const auto& device : voiceengine::ListDevices()) {
        if (device.id == static_cast<uint32_t>(number) && (capture ? device.capture : device.playback)) known = true;
      }
    }
    if (!known) {
      *error = std::string("no such ") + (capture ? "microphone: " : "speaker: ") + choice + " (see --list-devices)";
      return false;
    }
    *id = static_cast<uint32_t>(number);
  }
  if (result != 0) {
    *error = "cannot create the device " + choice;
    return false;
  }
  return true;
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

// `cpuMs`: the processor time the process used in the last `callMs` of the call (0 and 0 for a
// call shorter than a second).
void WriteStats(const std::string& path, const voiceengine::CallStatistics& s, int64_t receiveStartMs,
                int64_t sendStartMs, int64_t callMs, int64_t cpuMs) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::fprintf(stderr, "vecall: cannot write %s\n", path.c_str());
    return;
  }
  std::fprintf(file,
               "{\"codec\":\"%s\",\n"
               " \"rtp\":{\"sent_packets\":%llu,\"sent_bytes\":%llu,\"received_packets\":%llu,"
               "\"received_bytes\":%llu,\"lost\":%lld,\"fraction_lost\":%.4f,\"jitter_ms\":%.2f,"
               "\"remote_ssrc\":%u},\n"
               " \"rtcp\":{\"sent_reports\":%llu,\"received_reports\":%llu,\"rtt_ms\":%.2f,\"delay_ms\":%.2f,"
               "\"remote_cname\":\"%s\",\"local_ssrc\":%u,\"send_dialect\":\"%s\",\"peer_dialect\":\"%s\","
               "\"peer_reported\":%s,\"peer_reported_lost\":%lld,\"peer_reported_fraction_lost\":%.4f,"
               "\"peer_reported_jitter_ms\":%.2f},\n"
               " \"drops\":{\"wrong_source\":%llu,\"malformed\":%llu,\"unknown_payload_type\":%llu,"
               "\"on_probation\":%llu,\"duplicate\":%llu,\"rtcp_wrong_source\":%llu,\"rtcp_malformed\":%llu,"
               "\"latched\":%s},\n"
               " \"playout\":{\"depth_ms\":%d,\"target_ms\":%d,\"repeats\":%llu,\"drops\":%llu,\"rebuffers\":%llu,"
               "\"gap_markers\":%llu,\"concealed_ms\":%llu,\"comfort_noise_ms\":%llu,\"time_scaled_ms\":%llu,"
               "\"delay_changes\":%llu,\"speaker_queue_ms\":%d,\"speaker_underruns\":%llu},\n"
               " \"timing\":{\"receive_start_unix_ms\":%lld,\"send_start_unix_ms\":%lld,\"cpu_window_ms\":%lld,"
               "\"cpu_ms\":%lld}}\n",
               CodecName(s.codecType, s.uLaw), static_cast<unsigned long long>(s.rtpPacketsSent),
               static_cast<unsigned long long>(s.rtpBytesSent), static_cast<unsigned long long>(s.rtpPacketsReceived),
               static_cast<unsigned long long>(s.rtpBytesReceived), static_cast<long long>(s.packetsLost),
               s.fractionLost, s.jitterMs, s.remoteSsrc, static_cast<unsigned long long>(s.rtcpReportsSent),
               static_cast<unsigned long long>(s.rtcpReportsReceived), s.roundTripMs, s.oneWayDelayMs,
               s.remoteCname, s.localSsrc, DialectName(s.rtcpSendDialect), DialectName(s.rtcpPeerDialect),
               s.peerReported ? "true" : "false", static_cast<long long>(s.peerPacketsLost), s.peerFractionLost,
               s.peerJitterMs, static_cast<unsigned long long>(s.droppedWrongSource),
               static_cast<unsigned long long>(s.droppedMalformed),
               static_cast<unsigned long long>(s.droppedUnknownPayloadType),
               static_cast<unsigned long long>(s.droppedOnProbation), static_cast<unsigned long long>(s.droppedDuplicate),
               static_cast<unsigned long long>(s.rtcpDroppedWrongSource),
               static_cast<unsigned long long>(s.rtcpDroppedMalformed), s.sourceLatched ? "true" : "false",
               s.playoutDepthMs, s.playoutTargetMs, static_cast<unsigned long long>(s.playoutRepeats),
               static_cast<unsigned long long>(s.playoutDrops), static_cast<unsigned long long>(s.playoutRebuffers),
               static_cast<unsigned long long>(s.playoutGapMarkers), static_cast<unsigned long long>(s.playoutConcealedMs),
               static_cast<unsigned long long>(s.playoutComfortNoiseMs),
               static_cast<unsigned long long>(s.playoutTimeScaledMs),
               static_cast<unsigned long long>(s.playoutDelayChanges), s.speakerQueueMs,
               static_cast<unsigned long long>(s.speakerUnderruns), static_cast<long long>(receiveStartMs),
               static_cast<long long>(sendStartMs), static_cast<long long>(callMs), static_cast<long long>(cpuMs));
  std::fclose(file);
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

}  // namespace

int main(int argc, char** argv) {
  vecall::CallOptions options;
  std::string error;
  if (!vecall::ParseCallOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "vecall: %s\n%s", error.c_str(), vecall::CallUsage());
    return 2;
  }
  if (options.help) {
    std::fputs(vecall::CallUsage(), stdout);
    return 0;
  }
  if (options.listDevices) {
    for (const auto& device : voiceengine::ListDevices()) {
      std::printf("%4u  %-8s %s%s\n", device.id,
                  device.capture && device.playback ? "in/out" : device.capture ? "in" : "out", device.name.c_str(),
                  device.isVirtual ? " (virtual)" : "");
    }
    return 0;
  }
  voiceengine::SetDebugOutputEnabled(options.verbose);

  if (!vecall::StartNetwork()) return Fail("the system's socket services cannot start");
  std::string localAddress = vecall::ResolveIpv4(options.local.host);
  std::string remoteAddress = vecall::ResolveIpv4(options.remote.host);
  if (localAddress.empty()) return Fail("bad local address: " + options.local.host);
  if (remoteAddress.empty()) return Fail("bad remote address: " + options.remote.host);
  int rtpSocket = vecall::BindUdp(localAddress, options.local.port, &error);
  if (rtpSocket < 0) return Fail(error);
  int rtcpSocket = vecall::BindUdp(localAddress, static_cast<uint16_t>(options.local.port + 1), &error);
  if (rtcpSocket < 0) {
    vecall::CloseUdp(rtpSocket);
    return Fail(error);
  }
  auto closeSockets = [&] {
    vecall::CloseUdp(rtpSocket);
    vecall::CloseUdp(rtcpSocket);
  };

  uint32_t mic = 0, speaker = 0;
  bool micAdded = false, speakerAdded = false;
  if (!ChooseDevice(options.mic, true, &mic, &micAdded, &error) ||
      !ChooseDevice(options.speaker, false, &speaker, &speakerAdded, &error)) {
    closeSockets();
    return Fail(error);
  }
  for (const std::string& path : {options.playFile, options.sendFile}) {
    if (!path.empty() && !vecall::Readable(path)) {
      closeSockets();
      return Fail("cannot read " + path);
    }
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  int exitCode = 0;
  {
    VoiceEngine engine;
    engine.Initialize();
    engine.SetSockets(rtpSocket, rtcpSocket);
    voiceengine::SetRtcpDialect(&engine, options.rtcp == "standard" ? voiceengine::RtcpDialect::kStandard
                                         : options.rtcp == "legacy" ? voiceengine::RtcpDialect::kLegacy
                                                                    : voiceengine::RtcpDialect::kAuto);
    voiceengine::SetStrictSourceCheck(&engine, options.strictSource);
    uint16_t remoteRtcp = options.noRtcp ? 0 : static_cast<uint16_t>(options.remote.port + 1);
    if (engine.SetRemote(remoteAddress.c_str(), options.remote.port, remoteRtcp) != 0) {
      closeSockets();
      return Fail("bad remote address: " + options.remote.host);
    }
    engine.SetCodec(options.codec == "g729" ? 2 : 0);
    voiceengine::SetG711Law(&engine, options.codec == "pcmu" ? voiceengine::G711Law::kULaw
                                                               : voiceengine::G711Law::kALaw);
    engine.ConfigureReceive(0, 0, 0, 0);
    engine.ConfigureSend(0, 0, 0, 0, 0, 0);
    engine.SetCaptureVolume(0, options.inputLevel);
    int64_t receiveStartMs = UnixMs();
    int32_t result = engine.StartReceiving(static_cast<int32_t>(speaker));
    int64_t sendStartMs = UnixMs();
    if (result != 0) {
      exitCode = Fail("cannot start receiving (code " + std::to_string(result) + "): is the speaker available?");
    } else if ((result = engine.StartSending(static_cast<int32_t>(mic))) != 0) {
      exitCode = Fail("cannot start sending (code " + std::to_string(result) + "): is the microphone available?");
    }
    if (exitCode == 0) {
      engine.SetPlaybackVolume(static_cast<int32_t>(speaker), options.volume);
      int32_t fileId = 0;
      if (!options.playFile.empty() &&
          engine.PlayFile(options.playFile.c_str(), 1, static_cast<int32_t>(speaker), options.fileLevel, &fileId) != 0) {
        std::fprintf(stderr, "vecall: cannot play %s\n", options.playFile.c_str());
      }
      if (!options.sendFile.empty() &&
          engine.SendFile(options.sendFile.c_str(), 1, options.fileLevel, &fileId) != 0) {
        std::fprintf(stderr, "vecall: cannot send %s\n", options.sendFile.c_str());
      }

      bool terminal = vecall::OutputIsTerminal() && !options.verbose;
      auto start = std::chrono::steady_clock::now();
      // Processor time is counted from the call's second second on, when starting is over:
      // what the running call costs.
      int64_t steadyCpuMs = -1;
      auto steadyFrom = start;
      auto nextStatus = start + std::chrono::seconds(1);
      voiceengine::CallStatistics stats;
      while (!interrupted) {
        auto now = std::chrono::steady_clock::now();
        double elapsed = std::chrono::duration<double>(now - start).count();
        if (options.durationSeconds > 0 && elapsed >= options.durationSeconds) break;
        if (steadyCpuMs < 0 && elapsed >= 1.0) {
          steadyCpuMs = vecall::ProcessCpuMs();
          steadyFrom = now;
        }
        if (terminal && now >= nextStatus) {
          voiceengine::GetStatistics(&engine, &stats);
          PrintStatus(elapsed, stats);
          nextStatus += std::chrono::seconds(1);
        }
        // Wakes at the status line, the end of the call or every 100 ms for a Ctrl-C, not more:
        // the call's own threads are what should run.
        auto wake = now + std::chrono::milliseconds(100);
        if (terminal) wake = std::min(wake, nextStatus);
        if (options.durationSeconds > 0) {
          wake = std::min(wake, start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(options.durationSeconds)));
        }
        std::this_thread::sleep_until(wake);
      }
      if (terminal) std::printf("\n");
      // The last figures are taken while the call still runs: stopping ends its statistics.
      voiceengine::GetStatistics(&engine, &stats);
      const auto steadyMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - steadyFrom).count();
      if (!options.statsPath.empty()) {
        WriteStats(options.statsPath, stats, receiveStartMs, sendStartMs, steadyCpuMs < 0 ? 0 : steadyMs,
                   steadyCpuMs < 0 ? 0 : vecall::ProcessCpuMs() - steadyCpuMs);
      }
    }
    engine.StopSending();
    engine.StopReceiving();
    engine.Uninitialize();
  }
  closeSockets();
  if (micAdded) voiceengine::RemoveDevice(mic);
  if (speakerAdded) voiceengine::RemoveDevice(speaker);
  return exitCode;
}
