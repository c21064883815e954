#pragma once

// What the GStreamer tests share: a fixture that skips without gst-launch-1.0 (GStreamer's
// library comes with it), gives each side of the call a free port pair and the test its files,
// and vecall's command line for the call; and a bounded wait.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/CallAnalysis.h"
#include "support/TestProcess.h"
#include "support/UdpRelay.h"

namespace ve::test {

// Waits up to `seconds` for `done`, asking every 10 ms; its last answer.
inline bool WaitUntil(const std::function<bool()>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class GstCall : public ::testing::Test {
 protected:
  static constexpr int kCallSeconds = 12;
  // Runs a program found on PATH, with variables set before it in the same process.
  static constexpr const char* kEnv = "/usr/bin/env";

  void SetUp() override {
    if (ChildProcess({"/bin/sh", "-c", "command -v gst-launch-1.0 >/dev/null"}).Wait(30) != 0) {
      GTEST_SKIP() << "gst-launch-1.0 is not installed (make deps installs it)";
    }
    statsPath = File("vecall.json");
    vecallPort = FreePortPair();
    gstPort = FreePortPair();
    ASSERT_NE(vecallPort, 0);
    ASSERT_NE(gstPort, 0);
  }
  void TearDown() override {
    for (const std::string& path : files) std::remove(path.c_str());
  }
  // A file in the test's temporary folder, removed now and when the test ends.
  std::string File(const std::string& name) {
    files.push_back(CallTempPath("gst-" + name));
    std::remove(files.back().c_str());
    return files.back();
  }
  // vecall on vecallPort calling 127.0.0.1:remotePort in G.711 u-law for kCallSeconds,
  // writing its statistics to statsPath.
  std::vector<std::string> Vecall(uint16_t remotePort, const std::string& mic, const std::string& speaker) const {
    return {VECALL_PATH, "--local", "127.0.0.1:" + std::to_string(vecallPort), "--remote",
            "127.0.0.1:" + std::to_string(remotePort), "--codec", "pcmu", "--mic", mic, "--speaker", speaker,
            "--duration", std::to_string(kCallSeconds), "--stats", statsPath};
  }

  std::string statsPath;
  uint16_t vecallPort = 0, gstPort = 0;

 private:
  std::vector<std::string> files;
};

}  // namespace ve::test
