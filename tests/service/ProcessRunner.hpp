#pragma once
// Runs a program as a child process for the service tests: its output captured, its environment
// extended, every wait bounded (a child still running at the time-out is killed).
#include <string>
#include <vector>

#include "platform/Process.hpp"

namespace qm::test {

struct ProcessResult {
  int exitCode = -1;  // -1 when it did not exit normally (signal, time-out)
  bool timedOut = false;
  std::string output;  // stdout and stderr together
};

// Environment changes for a child: a value replaces or adds the variable; an empty value with
// unset=true removes it.
struct EnvChange {
  std::string name, value;
  bool unset = false;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<EnvChange>& env, int timeoutMs,
                         const std::string& workingDirectory = "");

// A child left running while the test talks to it (the foreground server).
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<EnvChange>& env,
               const std::string& workingDirectory);
  ~ChildProcess();  // kills a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal);
  // Waits for the exit; the exit status, or -1 on a signal or the time-out.
  int Wait(int timeoutMs);
  bool Exited() const { return child_.Exited(); }
  bool TimedOut() const { return timedOut_; }
  // Output so far (reads what is pending without blocking).
  const std::string& Output();

 private:
  bool Drain(int waitMs);
  platform::ChildProcess child_;
  bool timedOut_ = false;
  std::string output_;
};

// Reads a whole file (empty when missing).
std::string Slurp(const std::string& path);

}  // namespace qm::test
