#include "QmctlHarness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "platform/Platform.hpp"

extern char** environ;

namespace qm::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

}  // namespace

std::string QmctlPath() {
  const std::filesystem::path self(platform::ExecutablePath());
  return (self.parent_path().parent_path() / "qmctl").string();
}

QmctlProcess::QmctlProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                           bool terminalInput) {
  std::vector<std::string> argStore{QmctlPath()};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "QM_", 3) != 0) envStore.emplace_back(*e);
  for (const auto& [k, v] : env) envStore.push_back(k + "=" + v);
  std::vector<char*> argv, envp;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string terminal = "/dev/null";
  if (terminalInput) {
    ttyFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ttyFd_ < 0 || grantpt(ttyFd_) != 0 || unlockpt(ttyFd_) != 0) throw std::runtime_error("no pseudo-terminal");
    terminal = ptsname(ttyFd_);
  }
  posix_spawn_file_actions_addopen(&actions, 0, terminal.c_str(), terminalInput ? (O_RDWR | O_NOCTTY) : O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // A default signal disposition, whatever the test runner blocked or ignored.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int rc = posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(outPipe[1]);
  close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  if (rc != 0) {
    close(outFd_);
    close(errFd_);
    if (ttyFd_ >= 0) close(ttyFd_);
    throw std::runtime_error("cannot start " + argStore[0] + ": " + std::strerror(rc));
  }
  reader_ = std::thread([this] { ReadLoop(); });
}

QmctlProcess::~QmctlProcess() {
  if (!result_) Finish(0);
}

void QmctlProcess::ReadLoop() {
  bool open[3] = {true, true, ttyFd_ >= 0};
  const int fd[3] = {outFd_, errFd_, ttyFd_};
  std::string* sink[3] = {&out_, &err_, &tty_};
  while (open[0] || open[1]) {
    pollfd fds[3];
    for (int i = 0; i < 3; ++i) fds[i] = {open[i] ? fd[i] : -1, POLLIN, 0};
    if (poll(fds, 3, 100) < 0) break;
    char buf[4096];
    for (int i = 0; i < 3; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        open[i] = false;  // a terminal master reads EIO once the child has closed its side
        continue;
      }
      std::lock_guard<std::mutex> g(mutex_);
      sink[i]->append(buf, static_cast<size_t>(n));
    }
  }
  if (open[2]) {  // what the terminal echoed just before the end
    fcntl(ttyFd_, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = read(ttyFd_, buf, sizeof buf)) > 0;) {
      std::lock_guard<std::mutex> g(mutex_);
      tty_.append(buf, static_cast<size_t>(n));
    }
  }
}

bool QmctlProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Out().find(text) != std::string::npos) return true;
    if (SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool QmctlProcess::WaitForError(const std::string& text, int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (err_.find(text) != std::string::npos) return true;
    }
    if (SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void QmctlProcess::Type(const std::string& text) {
  if (ttyFd_ >= 0 && write(ttyFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("typing into the terminal failed");
}

std::string QmctlProcess::Echoed() {
  std::lock_guard<std::mutex> g(mutex_);
  return tty_;
}

void QmctlProcess::Interrupt() {
  if (!result_) kill(pid_, SIGINT);
}

std::string QmctlProcess::Out() {
  std::lock_guard<std::mutex> g(mutex_);
  return out_;
}

QmctlResult QmctlProcess::Finish(int timeoutMs) {
  if (result_) return *result_;
  QmctlResult r;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (SteadyClock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      r.killed = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reader_.join();  // the pipes close with the child
  close(outFd_);
  close(errFd_);
  if (ttyFd_ >= 0) close(ttyFd_);
  {
    std::lock_guard<std::mutex> g(mutex_);
    r.out = out_;
    r.err = err_;
  }
  result_ = r;
  return r;
}

QmctlResult RunQmctl(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                     int timeoutMs) {
  QmctlProcess p(args, env);
  return p.Finish(timeoutMs);
}

// ---- JSON ----

namespace {

const Json kNull{};

class JsonParser {
 public:
  explicit JsonParser(const std::string& t) : t_(t) {}
  bool Document(Json& out) {
    if (!Value(out, 0)) return false;
    Space();
    return i_ == t_.size();
  }

 private:
  void Space() {
    while (i_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[i_]))) ++i_;
  }
  bool Literal(const char* word) {
    const size_t n = std::strlen(word);
    if (t_.compare(i_, n, word) != 0) return false;
    i_ += n;
    return true;
  }
  bool Hex4(unsigned& cp) {
    if (i_ + 4 > t_.size()) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = t_[i_++];
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      cp = cp * 16 +
           static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
    }
    return true;
  }
  // Strings come back as bytes: \u00XX escapes below 0x100 give the byte itself, as qmctl's
  // Latin-1 names were written.
  bool String(std::string& s) {
    if (i_ >= t_.size() || t_[i_] != '"') return false;
    ++i_;
    while (i_ < t_.size()) {
      const unsigned char c = static_cast<unsigned char>(t_[i_++]);
      if (c == '"') return true;
      if (c < 0x20 || c >= 0x80) return false;  // raw control characters or raw non-ASCII are not what qmctl writes
      if (c != '\\') {
        s += static_cast<char>(c);
        continue;
      }
      if (i_ >= t_.size()) return false;
      const char e = t_[i_++];
      switch (e) {
        case '"':
          s += '"';
          break;
        case '\\':
          s += '\\';
          break;
        case '/':
          s += '/';
          break;
        case 'b':
          s += '\b';
          break;
        case 'f':
          s += '\f';
          break;
        case 'n':
          s += '\n';
          break;
        case 'r':
          s += '\r';
          break;
        case 't':
          s += '\t';
          break;
        case 'u': {
          unsigned cp = 0;
          if (!Hex4(cp) || cp > 0xFF) return false;
          s += static_cast<char>(cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Value(Json& out, int depth) {
    if (depth > 32) return false;
    Space();
    if (i_ >= t_.size()) return false;
    const char c = t_[i_];
    if (c == '{') {
      ++i_;
      auto obj = std::make_shared<Json::Object>();
      Space();
      if (i_ < t_.size() && t_[i_] == '}') {
        ++i_;
        out.v = obj;
        return true;
      }
      for (;;) {
        Space();
        std::string key;
        if (!String(key)) return false;
        Space();
        if (i_ >= t_.size() || t_[i_++] != ':') return false;
        Json v;
        if (!Value(v, depth + 1)) return false;
        if (obj->count(key)) return false;  // qmctl never repeats a key
        (*obj)[key] = v;
        Space();
        if (i_ >= t_.size()) return false;
        if (t_[i_] == ',') {
          ++i_;
          continue;
        }
        if (t_[i_++] != '}') return false;
        out.v = obj;
        return true;
      }
    }
    if (c == '[') {
      ++i_;
      auto arr = std::make_shared<Json::Array>();
      Space();
      if (i_ < t_.size() && t_[i_] == ']') {
        ++i_;
        out.v = arr;
        return true;
      }
      for (;;) {
        Json v;
        if (!Value(v, depth + 1)) return false;
        arr->push_back(v);
        Space();
        if (i_ >= t_.size()) return false;
        if (t_[i_] == ',') {
          ++i_;
          continue;
        }
        if (t_[i_++] != ']') return false;
        out.v = arr;
        return true;
      }
    }
    if (c == '"') {
      std::string s;
      if (!String(s)) return false;
      out.v = s;
      return true;
    }
    if (Literal("true")) return out.v = true, true;
    if (Literal("false")) return out.v = false, true;
    if (Literal("null")) return out.v = nullptr, true;
    const size_t start = i_;
    if (i_ < t_.size() && t_[i_] == '-') ++i_;
    while (i_ < t_.size() && (std::isdigit(static_cast<unsigned char>(t_[i_])) || t_[i_] == '.' || t_[i_] == 'e' ||
                              t_[i_] == 'E' || t_[i_] == '+' || t_[i_] == '-'))
      ++i_;
    if (start == i_) return false;
    try {
      size_t used = 0;
      out.v = std::stod(t_.substr(start, i_ - start), &used);
      return used == i_ - start;
    } catch (const std::exception&) {
      return false;
    }
  }

  const std::string& t_;
  size_t i_ = 0;
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  if (!IsObject()) return kNull;
  const auto& o = *std::get<std::shared_ptr<Object>>(v);
  auto it = o.find(key);
  return it == o.end() ? kNull : it->second;
}

const Json& Json::operator[](size_t index) const {
  if (!IsArray()) return kNull;
  const auto& a = *std::get<std::shared_ptr<Array>>(v);
  return index < a.size() ? a[index] : kNull;
}

size_t Json::Size() const {
  if (IsArray()) return std::get<std::shared_ptr<Array>>(v)->size();
  if (IsObject()) return std::get<std::shared_ptr<Object>>(v)->size();
  return 0;
}

bool Json::Has(const std::string& key) const {
  return IsObject() && std::get<std::shared_ptr<Object>>(v)->count(key) > 0;
}
double Json::Num() const { return std::holds_alternative<double>(v) ? std::get<double>(v) : -1e300; }
std::string Json::Str() const {
  return std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : "<not a string>";
}
bool Json::Bool() const { return std::holds_alternative<bool>(v) && std::get<bool>(v); }

std::optional<Json> ParseJson(const std::string& text) {
  Json out;
  JsonParser p(text);
  if (!p.Document(out)) return std::nullopt;
  return out;
}

}  // namespace qm::test
