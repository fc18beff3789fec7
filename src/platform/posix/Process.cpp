#include "platform/Process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

extern char** environ;

namespace qm::platform {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (auto& t : texts) p.push_back(t.data());
  p.push_back(nullptr);
  return p;
}

// posix_spawnp searches this process's PATH; a child meant to see another one is found here.
int SpawnOnPath(pid_t& pid, const std::string& program, const std::string& searchPath,
                const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attributes, char* const* argv,
                char* const* envp) {
  if (searchPath.empty() || program.find('/') != std::string::npos)
    return posix_spawnp(&pid, program.c_str(), actions, attributes, argv, envp);
  std::stringstream dirs(searchPath);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0)
      return posix_spawn(&pid, candidate.c_str(), actions, attributes, argv, envp);
  }
  return ENOENT;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exited_) Kill();
  CloseOutput();
}

SpawnFailure ChildProcess::Start(const SpawnRequest& request) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return SpawnFailure{errno, true};
  std::vector<std::string> args = request.argv;
  std::vector<char*> argv = Pointers(args);
  std::vector<std::string> env = request.environment.value_or(std::vector<std::string>());
  std::vector<char*> envp = Pointers(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!request.workingDirectory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, request.workingDirectory.c_str());
  // The stop signals are blocked and SIGPIPE ignored in this process; a child starts clean.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : request.defaultSignals) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = SpawnOnPath(pid, request.argv.at(0), request.searchPath, &actions, &attributes, argv.data(),
                             request.environment ? envp.data() : environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return SpawnFailure{rc, false};
  }
  pid_ = pid;
  outFd_ = fds[0];
  exited_ = false;
  return SpawnFailure{};
}

size_t ChildProcess::ReadOutput(char* buffer, size_t size, int waitMs) {
  if (outFd_ < 0) return 0;
  pollfd p{outFd_, POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return 0;
  const ssize_t n = read(outFd_, buffer, size);
  if (n > 0) return static_cast<size_t>(n);
  // A grandchild (a server the child started) may hold the pipe open, so its end is no sign that
  // the child is done; the exit is watched separately.
  if (n == 0 || errno != EINTR) CloseOutput();
  return 0;
}

bool ChildProcess::PollExit() {
  if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
  return exited_;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !exited_) kill(pid_, signal);
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || exited_) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, &status_, 0);
  exited_ = true;
}

int ChildProcess::ExitCode() const {
  if (!exited_ || !WIFEXITED(status_)) return -1;
  return WEXITSTATUS(status_);
}

void ChildProcess::CloseOutput() {
  if (outFd_ >= 0) close(outFd_);
  outFd_ = -1;
}

}  // namespace qm::platform
