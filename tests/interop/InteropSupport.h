#pragma once

// What the GStreamer tests share: a fixture that skips without gst-launch-1.0 (GStreamer's
// library comes with it), gives each side of the call a free port pair and the test its files,
// and vecall's command line for the call.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ve::test {

// The full path of a program found on PATH; empty when it is not there.
std::string FindProgram(const std::string& name);

// Waits up to `seconds` for `done`, asking every 10 ms; its last answer.
bool WaitUntil(const std::function<bool()>& done, int seconds);

class GstCall : public ::testing::Test {
 protected:
  static constexpr int kCallSeconds = 12;

  void SetUp() override;
  void TearDown() override;
  // A file in the test's temporary folder, removed now and when the test ends.
  std::string File(const std::string& name);
  // vecall on vecallPort calling 127.0.0.1:remotePort in G.711 u-law for kCallSeconds,
  // writing its statistics to statsPath.
  std::vector<std::string> Vecall(uint16_t remotePort, const std::string& mic, const std::string& speaker) const;

  std::string gstLaunch, statsPath;
  uint16_t vecallPort = 0, gstPort = 0;

 private:
  std::vector<std::string> files;
};

}  // namespace ve::test
