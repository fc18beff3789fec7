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

// What a take-over keeps for a fall-back to the earlier image.
int gStateHandle = -1;
int gImageHandle = -1;
std::vector<std::string> gEarlierArguments;

std::string Variable(const char* name, const std::string& value) { return std::string(name) + "=" + value; }

// This process's environment without the handover's variables, then the given ones.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry(*e);
    bool ours = false;
    for (const char* name : {kHandoverVariable, kEarlierImageVariable, kEarlierArgumentsVariable,
                             kExecutablePathVariable, kFellBackVariable})
      ours = ours || entry.rfind(std::string(name) + "=", 0) == 0;
    if (!ours) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

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
  if (const char* kept = std::getenv(kExecutablePathVariable); kept && *kept) return kept;
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
  request.environment = Environment({Variable(kHandoverVariable, std::to_string(stateHandle))});
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

int CopyRunningImage(std::string& error) {
  const int from = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (from < 0) {
    error = Errno("/proc/self/exe", errno);
    return -1;
  }
  const int to = memfd_create("qmserver-image", 0);
  if (to < 0) {
    error = Errno("memfd_create", errno);
    close(from);
    return -1;
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0 || write(to, buffer, static_cast<size_t>(n)) != n) {
      error = Errno("copying the running executable", errno);
      close(from);
      close(to);
      return -1;
    }
  }
  close(from);
  return to;
}

std::string ExecWithHandles(const std::string& path, const std::vector<std::string>& arguments,
                            const std::vector<int>& keep, int stateHandle, int imageHandle) {
  std::vector<int> inherited = keep;
  inherited.push_back(stateHandle);
  if (imageHandle >= 0) inherited.push_back(imageHandle);
  MarkOthersCloseOnExec(inherited);
  for (int fd : inherited) SetCloseOnExec(fd, false);

  std::vector<std::string> extra = {Variable(kExecutablePathVariable, path),
                                    Variable(kHandoverVariable, std::to_string(stateHandle)),
                                    Variable(kEarlierArgumentsVariable, JoinLines(arguments))};
  if (imageHandle >= 0) extra.push_back(Variable(kEarlierImageVariable, std::to_string(imageHandle)));
  std::vector<std::string> env = Environment(extra);
  std::vector<char*> envp = Pointers(env);
  std::vector<std::string> args;
  args.push_back(path);
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = Pointers(args);

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
  const bool named = end != value && *end == '\0' && fd >= 0;
  if (const char* image = std::getenv(kEarlierImageVariable); image && *image) gImageHandle = std::atoi(image);
  if (const char* args = std::getenv(kEarlierArgumentsVariable)) {
    gEarlierArguments.clear();
    std::string line;
    for (const char* c = args; *c; ++c) {
      if (*c == '\n') {
        gEarlierArguments.push_back(line);
        line.clear();
      } else {
        line += *c;
      }
    }
  }
  unsetenv(kHandoverVariable);
  unsetenv(kEarlierImageVariable);
  unsetenv(kEarlierArgumentsVariable);
  if (!named) {
    error = std::string("the handover variable holds no handle");
    return true;
  }
  gStateHandle = static_cast<int>(fd);
  // The handles stay open for a fall-back, but no child may inherit them.
  SetCloseOnExec(gStateHandle, true);
  if (gImageHandle >= 0) SetCloseOnExec(gImageHandle, true);
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
  return true;
}

void ReleaseTakeOverHandles() {
  if (gStateHandle >= 0) close(gStateHandle);
  if (gImageHandle >= 0) close(gImageHandle);
  gStateHandle = gImageHandle = -1;
}

std::string FallBackToEarlierImage() {
  if (gImageHandle < 0 || gStateHandle < 0) return "no earlier image to go back to";
  lseek(gStateHandle, 0, SEEK_SET);
  SetCloseOnExec(gStateHandle, false);
  // The earlier image may itself fail: it gets no image to go back to (no loop). Its own handle
  // stays close-on-exec: the exec reads it before it closes.
  std::vector<std::string> env =
      Environment({Variable(kHandoverVariable, std::to_string(gStateHandle)),
                   Variable(kExecutablePathVariable, HandoverExecutablePath()), Variable(kFellBackVariable, "1")});
  std::vector<char*> envp = Pointers(env);
  std::vector<std::string> args = {"qmserver"};
  args.insert(args.end(), gEarlierArguments.begin(), gEarlierArguments.end());
  std::vector<char*> argv = Pointers(args);
  std::fflush(stdout);
  std::fflush(stderr);
  fexecve(gImageHandle, argv.data(), envp.data());
  const int code = errno;
  SetCloseOnExec(gStateHandle, true);
  return Errno("exec of the earlier image", code);
}

bool TakeFellBackMark() {
  const char* value = std::getenv(kFellBackVariable);
  const bool marked = value && *value;
  unsetenv(kFellBackVariable);
  return marked;
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
