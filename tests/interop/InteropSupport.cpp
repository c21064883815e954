#include "InteropSupport.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "support/CallAnalysis.h"
#include "support/UdpRelay.h"

namespace ve::test {

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool WaitUntil(const std::function<bool()>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

void GstCall::SetUp() {
  gstLaunch = FindProgram("gst-launch-1.0");
  if (gstLaunch.empty()) GTEST_SKIP() << "gst-launch-1.0 is not installed (make deps installs it)";
  statsPath = File("vecall.json");
  vecallPort = FreePortPair();
  gstPort = FreePortPair();
  ASSERT_NE(vecallPort, 0);
  ASSERT_NE(gstPort, 0);
}

void GstCall::TearDown() {
  for (const std::string& path : files) std::remove(path.c_str());
}

std::string GstCall::File(const std::string& name) {
  files.push_back(CallTempPath("gst-" + name));
  std::remove(files.back().c_str());
  return files.back();
}

std::vector<std::string> GstCall::Vecall(uint16_t remotePort, const std::string& mic,
                                         const std::string& speaker) const {
  return {VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(vecallPort), "--remote",
          "127.0.0.1:" + std::to_string(remotePort), "--codec", "pcmu", "--mic", mic, "--speaker", speaker,
          "--duration", std::to_string(kCallSeconds), "--stats", statsPath};
}

}  // namespace ve::test
