#include "platform/Handover.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/Platform.hpp"
#include "platform/Process.hpp"

extern char** environ;

namespace qm::platform {
namespace {

std::string Errno(const char* what, int code) { return std::string(what) + ": " + std::strerror(code); }

void SetCloseOnExec(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags < 0) return;
  fcntl(fd, F_SETFD, on ? flags | FD_CLOEXEC : flags & ~FD_CLOEXEC);
}

// Every open handle but the kept ones closes at the exec: the new image must not inherit the log,
// the metrics listener or a waker it knows nothing of.
void MarkOthersCloseOnExec(const std::vector<int>& keep) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return;
  const int own = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd <= 2 || fd == own) continue;
    bool kept = false;
    for (int k : keep) kept = kept || k == fd;
    if (!kept) SetCloseOnExec(static_cast<int>(fd), true);
  }
  closedir(dir);
}

}  // namespace

bool HandoverSupported() { return true; }

std::string HandoverExecutablePath() {
  // After a package upgrade replaced the file the link reads "<path> (deleted)"; the path is what
  // the new executable is found at.
  std::string path = ExecutablePath();
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.erase(path.size() - deleted.size());
  return path;
}

std::string CheckExecutable(const std::string& path, const std::vector<std::string>& arguments, int stateHandle,
                            int timeoutMs) {
  if (access(path.c_str(), F_OK) != 0) return Errno(path.c_str(), errno);
  if (access(path.c_str(), X_OK) != 0) return Errno(path.c_str(), errno);
  ChildProcess child;
  SpawnRequest request;
  request.argv = {path};
  request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
  const std::string prefix = std::string(kHandoverVariable) + "=";
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) env.emplace_back(*e);
  env.push_back(prefix + std::to_string(stateHandle));
  request.environment = std::move(env);
  if (const SpawnFailure f = child.Start(request)) return Errno(path.c_str(), f.code);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string output;
  char buffer[512];
  for (;;) {
    const bool exited = child.PollExit();
    if (child.OutputOpen()) {
      const size_t n = child.ReadOutput(buffer, sizeof buffer, exited ? 0 : 20);
      if (output.size() < 4096) output.append(buffer, n);
      if (n > 0 || !exited) continue;
    }
    if (exited) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      child.Kill();
      return path + " did not answer the handover check in time";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (child.ExitCode() == 0) return std::string();
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  const size_t cut = output.find_last_of('\n');
  const std::string last = cut == std::string::npos ? output : output.substr(cut + 1);
  return path + " refused the handover (" +
         (child.ExitCode() < 0 ? std::string("a signal") : "status " + std::to_string(child.ExitCode())) + ")" +
         (last.empty() ? std::string() : ": " + last);
}

int CreateStateFile(const std::vector<uint8_t>& bytes, std::string& error) {
  const int fd = memfd_create("qmserver-handover", 0);
  if (fd < 0) {
    error = Errno("memfd_create", errno);
    return -1;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = Errno("writing the handover state", errno);
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string ExecWithHandles(const std::string& path, const std::vector<std::string>& arguments,
                            const std::vector<int>& keep, int stateHandle) {
  std::vector<int> inherited = keep;
  inherited.push_back(stateHandle);
  MarkOthersCloseOnExec(inherited);
  for (int fd : inherited) SetCloseOnExec(fd, false);

  std::vector<std::string> env;
  const std::string prefix = std::string(kHandoverVariable) + "=";
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) env.emplace_back(*e);
  env.push_back(prefix + std::to_string(stateHandle));
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args;
  args.push_back(path);
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);

  execve(path.c_str(), argv.data(), envp.data());
  const int code = errno;
  for (int fd : keep) SetCloseOnExec(fd, true);
  return Errno(("exec " + path).c_str(), code);
}

bool TakeStateFile(std::vector<uint8_t>& bytes, std::string& error) {
  const char* value = std::getenv(kHandoverVariable);
  if (!value || !*value) return false;
  char* end = nullptr;
  const long fd = std::strtol(value, &end, 10);
  unsetenv(kHandoverVariable);
  if (end == value || *end != '\0' || fd < 0) {
    error = std::string("the handover variable holds no handle");
    return true;
  }
  bytes.clear();
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = read(static_cast<int>(fd), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Errno("reading the handover state", errno);
      break;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  close(static_cast<int>(fd));
  return true;
}

void CloseStateFile(int handle) {
  if (handle >= 0) close(handle);
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

uint16_t BoundPortOf(SocketHandle s) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
  return PortOf(a);
}

}  // namespace qm::platform
