#pragma once
// A child process whose standard output and error come back through one pipe, for running the
// system's service manager and, in the tests, the server itself. Its standard input is /dev/null.
// The waits are the caller's, and every one of them is bounded. POSIX only: the Win32 side talks to
// the Service Control Manager through its API and starts no programs.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qm::platform {

struct SpawnRequest {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH unless it holds a '/'
  // "NAME=value" entries; none: the child gets this process's environment.
  std::optional<std::vector<std::string>> environment;
  std::string searchPath;        // looks argv[0] up here instead of on this process's PATH
  std::string workingDirectory;  // empty: this process's
  // Signals the child gets with their default action; it starts with none blocked either way.
  std::vector<int> defaultSignals;
};

// Why a start failed: `code` is the errno value (0 when the child runs), `pipe` tells that the
// output pipe, not the start itself, failed.
struct SpawnFailure {
  int code = 0;
  bool pipe = false;
  explicit operator bool() const { return code != 0; }
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  SpawnFailure Start(const SpawnRequest& request);

  // Waits up to `waitMs` for output and reads at most `size` bytes of it: the count read, 0 when
  // nothing came. The end of the output (or a read error) closes our side of the pipe.
  size_t ReadOutput(char* buffer, size_t size, int waitMs);
  bool OutputOpen() const { return outFd_ >= 0; }

  // True once the child has ended; does not wait.
  bool PollExit();
  void Signal(int signal);
  void Kill();  // SIGKILL, then waits for the end
  bool Exited() const { return exited_; }
  // The exit status, or -1 while running or when a signal ended it.
  int ExitCode() const;

 private:
  void CloseOutput();
  int pid_ = -1;
  int outFd_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

}  // namespace qm::platform
