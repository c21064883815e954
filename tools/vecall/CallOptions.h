#pragma once

#include <cstdint>
#include <string>

// The command line of the call tool: one end of a call between two hosts.
namespace vecall {

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
  bool help = false;
};

// Parses argv; on a bad command line returns false with a one-line reason in `error`.
bool ParseCallOptions(int argc, const char* const* argv, CallOptions* options, std::string* error);

// The usage text.
const char* CallUsage();

}  // namespace vecall
