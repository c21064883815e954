#include "support/TestProcess.h"

#include <chrono>
#include <cstdint>
#include <thread>

#ifdef _WIN32
#include "platform/win32/WindowsHeaders.h"
#else
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;
#endif

namespace ve::test {

namespace {

#ifdef _WIN32
// One argument as the C runtime's command-line parser reads it back: quoted when it holds
// blanks or quotes, quotes escaped, backslashes doubled only where they precede a quote.
std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}
#endif

}  // namespace

#ifdef _WIN32

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
  if (args.empty()) return;
  std::string line;
  for (const std::string& arg : args) line += (line.empty() ? "" : " ") + QuoteArgument(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(args[0].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
    return;
  }
  ::CloseHandle(info.hThread);
  process = info.hProcess;
}

ChildProcess::~ChildProcess() {
  if (process == nullptr) return;
  if (!ended) {
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, INFINITE);
  }
  ::CloseHandle(process);
}

bool ChildProcess::Started() const { return process != nullptr; }

int ChildProcess::Wait(int timeoutS) {
  if (process == nullptr) return -3;
  if (::WaitForSingleObject(process, static_cast<DWORD>(timeoutS) * 1000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, INFINITE);
    ended = true;
    return -2;
  }
  ended = true;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return -1;
  return static_cast<int>(code);
}

bool ChildProcess::Interrupt() { return false; }

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

#else

ChildProcess::ChildProcess(const std::vector<std::string>& args) {
  if (args.empty()) return;
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0) pid = child;
}

ChildProcess::~ChildProcess() {
  if (pid <= 0 || ended) return;
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

bool ChildProcess::Started() const { return pid > 0; }

int ChildProcess::Wait(int timeoutS) {
  if (pid <= 0) return -3;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ended = true;
  return -2;
}

bool ChildProcess::Interrupt() { return pid > 0 && !ended && kill(pid, SIGINT) == 0; }

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

#endif

}  // namespace ve::test
