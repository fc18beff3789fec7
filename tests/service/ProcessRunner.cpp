#include "service/ProcessRunner.hpp"

#include <signal.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qm::test {
namespace {

std::vector<std::string> BuildEnvironment(const std::vector<EnvChange>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const EnvChange& c : changes) {
    const std::string prefix = c.name + "=";
    for (auto it = env.begin(); it != env.end();) {
      if (it->rfind(prefix, 0) == 0)
        it = env.erase(it);
      else
        ++it;
    }
    if (!c.unset) env.push_back(prefix + c.value);
  }
  return env;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<EnvChange>& env, int timeoutMs,
                         const std::string& workingDirectory) {
  ChildProcess child(argv, env, workingDirectory);
  ProcessResult r;
  r.exitCode = child.Wait(timeoutMs);
  r.timedOut = child.TimedOut();
  r.output = child.Output();
  return r;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<EnvChange>& env,
                           const std::string& workingDirectory) {
  platform::SpawnRequest request;
  request.argv = argv;
  request.environment = BuildEnvironment(env);
  request.workingDirectory = workingDirectory;
  // The program is looked up on the child's PATH, which a test may have changed.
  for (const auto& c : env)
    if (c.name == "PATH") request.searchPath = c.value;
  request.defaultSignals = {SIGPIPE, SIGINT, SIGTERM};
  const platform::SpawnFailure failure = child_.Start(request);
  if (failure.pipe) throw std::runtime_error("pipe failed");
  if (failure) throw std::runtime_error("cannot run " + argv.at(0) + ": " + std::strerror(failure.code));
}

// The destructor of child_ kills a child still running.
ChildProcess::~ChildProcess() = default;

void ChildProcess::Signal(int signal) { child_.Signal(signal); }

// True when something was read.
bool ChildProcess::Drain(int waitMs) {
  char buffer[4096];
  const size_t n = child_.ReadOutput(buffer, sizeof buffer, waitMs);
  output_.append(buffer, n);
  return n > 0;
}

int ChildProcess::Wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!child_.Exited()) {
    if (child_.OutputOpen())
      Drain(20);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!child_.PollExit() && std::chrono::steady_clock::now() >= deadline) {
      child_.Kill();
      timedOut_ = true;
      Drain(0);
      return -1;
    }
  }
  // What the child wrote just before it ended.
  for (int i = 0; i < 1000 && Drain(10); ++i) {
  }
  return child_.ExitCode();
}

const std::string& ChildProcess::Output() {
  for (int i = 0; i < 1000 && Drain(0); ++i) {
  }
  return output_;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qm::test
