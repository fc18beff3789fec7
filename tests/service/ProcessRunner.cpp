#include "service/ProcessRunner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<EnvChange>& changes, const std::string& dir,
            int& outFd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> env = BuildEnvironment(changes);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  // The program is looked up on the child's PATH, which a test may have changed.
  std::string path;
  for (const auto& c : changes)
    if (c.name == "PATH") path = c.value;
  int rc = 0;
  if (path.empty() || argv[0].find('/') != std::string::npos) {
    rc = posix_spawnp(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
  } else {
    rc = ENOENT;
    std::stringstream dirs(path);
    std::string d;
    while (std::getline(dirs, d, ':')) {
      const std::string candidate = d + "/" + argv[0];
      if (access(candidate.c_str(), X_OK) == 0) {
        rc = posix_spawn(&pid, candidate.c_str(), &actions, &attributes, argp.data(), envp.data());
        break;
      }
    }
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(rc));
  }
  outFd = fds[0];
  return pid;
}

// True when something was read. A grandchild (a server the child started) may hold the pipe
// open, so its end is no sign that the child is done.
bool ReadPending(int fd, std::string& out, int waitMs, bool& open) {
  if (!open) return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return false;
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    out.append(buffer, static_cast<size_t>(n));
    return true;
  }
  if (n == 0) open = false;
  return false;
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
  pid_ = Spawn(argv, env, workingDirectory, outFd_);
}

ChildProcess::~ChildProcess() {
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  if (outFd_ >= 0) close(outFd_);
}

void ChildProcess::Signal(int signal) {
  if (!exited_) kill(pid_, signal);
}

bool ChildProcess::Drain(int waitMs) {
  bool open = outFd_ >= 0;
  const bool got = ReadPending(outFd_, output_, waitMs, open);
  if (!open && outFd_ >= 0) {
    close(outFd_);
    outFd_ = -1;
  }
  return got;
}

int ChildProcess::Wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!exited_) {
    if (outFd_ >= 0)
      Drain(20);
    else
      usleep(20000);
    if (waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    if (!exited_ && std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      exited_ = true;
      timedOut_ = true;
      Drain(0);
      return -1;
    }
  }
  // What the child wrote just before it ended.
  for (int i = 0; i < 1000 && Drain(10); ++i) {
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
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
