#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The command line of the call tool: one end of a call between two hosts.
namespace vecall {

// What the process returns; the --help footer and the README list them.
enum class ExitCode : int {
  kOk = 0,             // the call ran to its end or was interrupted (Ctrl-C), statistics written
  kUsage = 1,          // a bad command line
  kEngineCall = 2,     // an engine call failed (the message names it and its code)
  kDeviceOrNetwork = 3,  // an unknown or ambiguous device, an address or a socket that cannot be used
  kFile = 4,           // a file to play, send or write that cannot be used
};

struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

struct CallOptions {
  Endpoint local;
  Endpoint remote;
  std::string codec = "g729";  // pcma, pcmu or g729
  std::string mic = "default";
  std::string speaker = "default";
  double durationSeconds = 0;  // 0: until Ctrl-C
  std::string statsPath;
  bool noRtcp = false;
  bool strictSource = false;  // packets only from the remote's own ports
  std::string rtcp = "auto";  // auto, standard or legacy: the RTCP layout of our reports
  int32_t inputLevel = 100;
  int32_t volume = 100;
  std::string playFile;
  std::string sendFile;
  int32_t fileLevel = 100;
  bool listDevices = false;
  bool verbose = false;
};

// Parses argv into `options`. Returns an exit code when the program is to end at once: after
// --help or --version (printed, with `version` as the version text) or a bad command line (the
// reason printed to standard error).
std::optional<ExitCode> ParseCallOptions(int argc, const char* const* argv, const std::string& version,
                                         CallOptions* options);

}  // namespace vecall
