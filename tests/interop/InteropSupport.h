#pragma once

// What the interop tests do around vecall and another RTP stack: finding the other stack's
// programs, the files a call leaves behind and the figures of vecall's statistics.

#include <string>
#include <vector>

namespace ve::test {

// The full path of a program found on PATH; empty when it is not there.
std::string FindProgram(const std::string& name);

// Files a test writes, removed before it starts and when it ends, however it ends.
class RemovedAtExit {
 public:
  explicit RemovedAtExit(std::vector<std::string> files);
  ~RemovedAtExit();
  RemovedAtExit(const RemovedAtExit&) = delete;
  RemovedAtExit& operator=(const RemovedAtExit&) = delete;

 private:
  void RemoveAll() const;
  std::vector<std::string> paths;
};

// The whole file as text; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

// The value of `key` in the object `section` of vecall's statistics, without its quotes; empty
// when either is missing.
std::string StatsField(const std::string& json, const std::string& section, const std::string& key);
// The same as a number; -1e9 when it is missing.
double StatsNumber(const std::string& json, const std::string& section, const std::string& key);

}  // namespace ve::test
