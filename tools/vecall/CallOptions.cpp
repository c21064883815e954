#include "CallOptions.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>

namespace vecall {

namespace {

bool ParseEndpoint(const std::string& text, Endpoint* out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  char* end = nullptr;
  const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port < 1 || port > 65534) return false;  // PORT+1 carries RTCP
  out->host = text.substr(0, colon);
  out->port = static_cast<uint16_t>(port);
  return true;
}

const CLI::Validator kEndpoint(
    [](std::string& text) {
      Endpoint unused;
      return ParseEndpoint(text, &unused) ? std::string() : "expected HOST:PORT with PORT 1..65534, got " + text;
    },
    "");

const CLI::Validator kSeconds(
    [](std::string& text) {
      char* end = nullptr;
      const double seconds = std::strtod(text.c_str(), &end);
      const bool valid = end != text.c_str() && *end == '\0' && seconds > 0 && std::isfinite(seconds);
      return valid ? std::string() : "expected a number of seconds above 0, got " + text;
    },
    "");

const CLI::Validator kLevel = CLI::Range(0, 100).description("");

constexpr const char* kFooter =
    "RTP uses PORT and RTCP PORT+1 on both sides. A device is chosen by its number or by part of\n"
    "its name (case-insensitive; a name that is whole wins over one that only contains it);\n"
    "--list-devices lists them and marks the system's defaults with '*'.\n"
    "\n"
    "Exit codes:\n"
    "  0  the call ended (its duration passed, or Ctrl-C) and its statistics were written\n"
    "  1  bad command line\n"
    "  2  an engine call failed (the message names the call and its code)\n"
    "  3  unknown or ambiguous device, unusable address or socket\n"
    "  4  a file to play, send or write the statistics to cannot be used\n";

}  // namespace

std::optional<ExitCode> ParseCallOptions(int argc, const char* const* argv, const std::string& version,
                                         CallOptions* options) {
  CallOptions parsed;
  std::string local, remote;
  CLI::App app("One end of a voice call between two hosts.", "vecall");
  app.set_version_flag("--version", version, "Print vecall's and the engine library's versions and exit");
  app.footer(kFooter);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "vecall: " + std::string(e.what()) + "\nRun with --help for more information.\n";
  });
  app.add_option("--local", local, "This side's address; RTP on PORT, RTCP on PORT+1")
      ->check(kEndpoint)
      ->type_name("HOST:PORT");
  app.add_option("--remote", remote, "The other side's address")->check(kEndpoint)->type_name("HOST:PORT");
  app.add_option("--codec", parsed.codec, "Codec of the call")
      ->check(CLI::IsMember({"pcma", "pcmu", "g729"}).description(""))
      ->type_name("pcma|pcmu|g729")
      ->capture_default_str();
  app.add_option("--mic", parsed.mic, "Microphone: default, a device number or name, file:PATH.wav, tone:HZ or silence")
      ->type_name("DEVICE")
      ->capture_default_str();
  app.add_option("--speaker", parsed.speaker, "Speaker: default, a device number or name, file:PATH.wav or null")
      ->type_name("DEVICE")
      ->capture_default_str();
  app.add_option("--duration", parsed.durationSeconds, "Seconds the call lasts; until Ctrl-C when not given")
      ->check(kSeconds)
      ->type_name("SECONDS");
  app.add_option("--stats", parsed.statsPath, "Write the call's statistics to this JSON file at its end")
      ->type_name("FILE.json");
  app.add_flag("--no-rtcp", parsed.noRtcp, "Send no RTCP to the other side");
  app.add_option("--rtcp", parsed.rtcp, "RTCP layout of this side's reports")
      ->check(CLI::IsMember({"auto", "standard", "legacy"}).description(""))
      ->type_name("auto|standard|legacy")
      ->capture_default_str();
  app.add_flag("--strict-source", parsed.strictSource, "Take packets only from the remote's own ports");
  app.add_option("--input-level", parsed.inputLevel, "Microphone level")->check(kLevel)->type_name("0..100")->capture_default_str();
  app.add_option("--volume", parsed.volume, "Speaker volume")->check(kLevel)->type_name("0..100")->capture_default_str();
  app.add_option("--play", parsed.playFile, "Mix this WAV file into what this side hears")->type_name("FILE.wav");
  app.add_option("--send-file", parsed.sendFile, "Mix this WAV file into what the other side hears")->type_name("FILE.wav");
  app.add_option("--file-level", parsed.fileLevel, "Level of --play and --send-file")
      ->check(kLevel)
      ->type_name("0..100")
      ->capture_default_str();
  app.add_flag("--list-devices", parsed.listDevices, "List the sound devices and exit");
  app.add_flag("--verbose", parsed.verbose, "Show the engine's debug output instead of the status line");
  try {
    app.parse(argc, argv);
    if (!parsed.listDevices && (local.empty() || remote.empty())) {
      throw CLI::RequiredError("--local and --remote are required", CLI::ExitCodes::RequiredError);
    }
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? ExitCode::kOk : ExitCode::kUsage;
  }
  ParseEndpoint(local, &parsed.local);
  ParseEndpoint(remote, &parsed.remote);
  *options = parsed;
  return std::nullopt;
}

}  // namespace vecall
