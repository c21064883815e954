#include "InteropSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace ve::test {

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::filesystem::path candidate = std::filesystem::path(dir.empty() ? "." : dir) / name;
    std::error_code error;
    auto status = std::filesystem::status(candidate, error);
    if (!error && std::filesystem::is_regular_file(status) &&
        (status.permissions() & std::filesystem::perms::owner_exec) != std::filesystem::perms::none) {
      return candidate.string();
    }
  }
  return "";
}

RemovedAtExit::RemovedAtExit(std::vector<std::string> files) : paths(std::move(files)) { RemoveAll(); }

RemovedAtExit::~RemovedAtExit() { RemoveAll(); }

void RemovedAtExit::RemoveAll() const {
  for (const std::string& path : paths) std::remove(path.c_str());
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string StatsField(const std::string& json, const std::string& section, const std::string& key) {
  size_t at = json.find("\"" + section + "\":{");
  if (at == std::string::npos) return "";
  size_t end = json.find('}', at);
  at = json.find("\"" + key + "\":", at);
  if (at == std::string::npos || at > end) return "";
  at += key.size() + 3;
  size_t stop = json.find_first_of(",}", at);
  std::string value = json.substr(at, stop - at);
  if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
  return value;
}

double StatsNumber(const std::string& json, const std::string& section, const std::string& key) {
  std::string value = StatsField(json, section, key);
  return value.empty() ? -1e9 : std::atof(value.c_str());
}

}  // namespace ve::test
