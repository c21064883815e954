#include "CallOptions.h"

#include <cstdlib>
#include <cstring>

namespace vecall {

namespace {

bool ParseEndpoint(const std::string& text, Endpoint* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  char* end = nullptr;
  long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port < 1 || port > 65534) return false;  // PORT+1 carries RTCP
  out->host = text.substr(0, colon);
  out->port = static_cast<uint16_t>(port);
  return true;
}

bool ParseLevel(const char* text, int32_t* out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 100) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace

const char* CallUsage() {
  return "usage: vecall --local HOST:PORT --remote HOST:PORT [--codec pcma|pcmu|g729]\n"
         "              [--mic default|N|file:PATH.wav|tone:HZ|silence] [--speaker default|N|file:PATH.wav|null]\n"
         "              [--duration SECONDS] [--stats FILE.json] [--no-rtcp] [--rtcp auto|standard|legacy]\n"
         "              [--strict-source] [--input-level 0..100]\n"
         "              [--volume 0..100] [--play FILE.wav] [--send-file FILE.wav] [--file-level 0..100]\n"
         "              [--list-devices] [--verbose]\n"
         "RTP uses PORT and RTCP PORT+1 on both sides.\n";
}

bool ParseCallOptions(int argc, const char* const* argv, CallOptions* options, std::string* error) {
  CallOptions parsed;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    const char* text = nullptr;
    if (name == "--local" || name == "--remote") {
      if (!value(&text)) return false;
      if (!ParseEndpoint(text, name == "--local" ? &parsed.local : &parsed.remote)) {
        *error = "bad address for " + name + ": " + text + " (expected HOST:PORT)";
        return false;
      }
    } else if (name == "--codec") {
      if (!value(&text)) return false;
      parsed.codec = text;
      if (parsed.codec != "pcma" && parsed.codec != "pcmu" && parsed.codec != "g729") {
        *error = "unknown codec: " + parsed.codec + " (pcma, pcmu or g729)";
        return false;
      }
    } else if (name == "--mic") {
      if (!value(&text)) return false;
      parsed.mic = text;
    } else if (name == "--speaker") {
      if (!value(&text)) return false;
      parsed.speaker = text;
    } else if (name == "--duration") {
      if (!value(&text)) return false;
      char* end = nullptr;
      parsed.durationSeconds = std::strtod(text, &end);
      if (*end != '\0' || parsed.durationSeconds <= 0) {
        *error = std::string("bad duration: ") + text;
        return false;
      }
    } else if (name == "--stats") {
      if (!value(&text)) return false;
      parsed.statsPath = text;
    } else if (name == "--no-rtcp") {
      parsed.noRtcp = true;
    } else if (name == "--strict-source") {
      parsed.strictSource = true;
    } else if (name == "--rtcp") {
      if (!value(&text)) return false;
      parsed.rtcp = text;
      if (parsed.rtcp != "auto" && parsed.rtcp != "standard" && parsed.rtcp != "legacy") {
        *error = "unknown RTCP layout: " + parsed.rtcp + " (auto, standard or legacy)";
        return false;
      }
    } else if (name == "--input-level" || name == "--volume" || name == "--file-level") {
      if (!value(&text)) return false;
      int32_t* target = name == "--input-level" ? &parsed.inputLevel
                        : name == "--volume"    ? &parsed.volume
                                                : &parsed.fileLevel;
      if (!ParseLevel(text, target)) {
        *error = "bad level for " + name + ": " + text + " (0..100)";
        return false;
      }
    } else if (name == "--play") {
      if (!value(&text)) return false;
      parsed.playFile = text;
    } else if (name == "--send-file") {
      if (!value(&text)) return false;
      parsed.sendFile = text;
    } else if (name == "--list-devices") {
      parsed.listDevices = true;
    } else if (name == "--verbose") {
      parsed.verbose = true;
    } else if (name == "--help" || name == "-h") {
      parsed.help = true;
    } else {
      *error = "unknown option: " + name;
      return false;
    }
  }
  if (!parsed.help && !parsed.listDevices && (parsed.local.port == 0 || parsed.remote.port == 0)) {
    *error = "--local and --remote are required";
    return false;
  }
  *options = parsed;
  return true;
}

}  // namespace vecall
