#pragma once

// Processes for the tests, the same on every system: child programs started with arguments
// and waited for with a time limit, and the CPU time this process has used.

#include <string>
#include <vector>

namespace ve::test {

// A program started with `args` (args[0] is its path) in this process's environment. The
// destructor kills it when it still runs.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& args);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const;
  // Waits at most timeoutS for the program to end: its exit code; -1 when it died of a
  // signal, -2 when it overstayed (it is killed then), -3 when it never started.
  int Wait(int timeoutS);
  // Asks the program to end as Ctrl-C would (SIGINT, to the program alone, not its process
  // group: programs that wind down on the first interrupt often quit at once on a second).
  // False when it is not running, and on Windows, which cannot send that to one process.
  bool Interrupt();

 private:
#ifdef _WIN32
  void* process = nullptr;  // the process handle
#else
  int pid = -1;
#endif
  bool ended = false;
};

// CPU time (user and system) this process has used so far, in seconds.
double ProcessCpuSeconds();

}  // namespace ve::test
