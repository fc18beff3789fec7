#include "platform/OperatorChannel.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace qm::platform {
namespace {

using Steady = std::chrono::steady_clock;

std::string ErrnoText(int e) { return std::string(std::strerror(e)) + " (errno " + std::to_string(e) + ")"; }

bool FillAddress(const std::string& path, sockaddr_un& a) {
  a = sockaddr_un{};
  a.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, path.data(), path.size());
  return true;
}

int RemainingMs(Steady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buf(4096);
  group g{};
  group* found = nullptr;
  if (getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == 0 && found) return found->gr_name;
  return "gid " + std::to_string(gid);
}

// The supplementary groups of a running process, as the kernel holds them; false when they
// cannot be read (then the account's configured groups are asked instead).
bool ProcessGroups(pid_t pid, std::vector<gid_t>& groups) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Groups:", 0) != 0) continue;
    std::istringstream in(line.substr(7));
    unsigned long g = 0;
    while (in >> g) groups.push_back(static_cast<gid_t>(g));
    return true;
  }
  return false;
}

bool AccountGroups(uid_t uid, gid_t primary, std::vector<gid_t>& groups) {
  std::vector<char> buf(16384);
  passwd p{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &p, buf.data(), buf.size(), &found) != 0 || !found) return false;
  int count = 64;
  groups.resize(static_cast<size_t>(count));
  if (getgrouplist(found->pw_name, primary, groups.data(), &count) < 0) {
    if (count <= 0 || count > 65536) return false;
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, primary, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<size_t>(count));
  return true;
}

class PosixLink : public OperatorLink {
 public:
  explicit PosixLink(int fd) : fd_(fd) {}
  ~PosixLink() override { close(fd_); }

  ChannelIo ReadFull(void* data, size_t size, int timeoutMs, size_t& done) override {
    done = 0;
    const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
    auto* p = static_cast<uint8_t*>(data);
    while (done < size) {
      if (shut_.load()) return ChannelIo::kClosed;
      const ssize_t n = recv(fd_, p + done, size - done, 0);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) return ChannelIo::kClosed;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno == ECONNRESET ? ChannelIo::kClosed : ChannelIo::kFailed;
      const ChannelIo waited = Wait(POLLIN, deadline);
      if (waited != ChannelIo::kDone) return waited;
    }
    return ChannelIo::kDone;
  }

  ChannelIo WriteFull(const void* data, size_t size, int timeoutMs) override {
    const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
      if (shut_.load()) return ChannelIo::kClosed;
      const ssize_t n = send(fd_, p + done, size - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return errno == EPIPE || errno == ECONNRESET ? ChannelIo::kClosed : ChannelIo::kFailed;
      const ChannelIo waited = Wait(POLLOUT, deadline);
      if (waited != ChannelIo::kDone) return waited;
    }
    return ChannelIo::kDone;
  }

  void Shutdown() override {
    shut_.store(true);
    shutdown(fd_, SHUT_RDWR);
  }

  bool Admitted() const override { return admitted_; }
  std::string PeerText() const override { return peer_; }
  std::string Refusal() const override { return refusal_; }

  bool admitted_ = true;
  std::string peer_, refusal_;

 private:
  ChannelIo Wait(short events, Steady::time_point deadline) {
    for (;;) {
      const int left = RemainingMs(deadline);
      if (left <= 0) return ChannelIo::kTimedOut;
      pollfd pfd{fd_, events, 0};
      const int r = poll(&pfd, 1, left);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return ChannelIo::kFailed;
      if (r == 0) return ChannelIo::kTimedOut;
      if (shut_.load()) return ChannelIo::kClosed;
      // Readable or writable, or an error or hang-up that the next call reports.
      return ChannelIo::kDone;
    }
  }

  int fd_;
  std::atomic<bool> shut_{false};
};

void SetNonBlockingCloexec(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

struct OperatorListener::State {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  gid_t gid = 0;  // the socket file's group when it was made
  std::atomic<bool> closed{false};
};

OperatorListener::OperatorListener(const std::string& name) : name_(name), state_(std::make_unique<State>()) {
  sockaddr_un address{};
  if (!FillAddress(name, address))
    throw OperatorChannelError("the control socket path " + name + " is empty or longer than " +
                               std::to_string(sizeof address.sun_path - 1) + " bytes");
  struct stat st {};
  if (lstat(name.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode))
      throw OperatorChannelOccupied(name + " exists and is not a socket (a file, a folder or a link); it is left " +
                                    "as it is: remove it or choose another -CONTROL=");
    // A socket nobody answers on is what a killed server leaves behind; one that answers belongs
    // to a running server.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int r = probe < 0 ? -1 : connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int e = errno;
    if (probe >= 0) close(probe);
    if (r == 0) throw OperatorChannelError("another server is already listening on " + name);
    if (e != ECONNREFUSED) throw OperatorChannelError("cannot check the socket at " + name + ": " + ErrnoText(e));
    if (unlink(name.c_str()) != 0 && errno != ENOENT)
      throw OperatorChannelError("cannot remove the stale socket " + name + ": " + ErrnoText(errno));
  } else if (errno != ENOENT) {
    throw OperatorChannelError("cannot look at " + name + ": " + ErrnoText(errno));
  }

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw OperatorChannelError("cannot make a Unix socket: " + ErrnoText(errno));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int e = errno;
    close(fd);
    throw OperatorChannelError("cannot create the control socket " + name + ": " + ErrnoText(e));
  }
  // Peers are checked by their credentials at every connection; the mode keeps everyone else
  // from even connecting.
  struct stat made {};
  if (chmod(name.c_str(), 0660) != 0 || lstat(name.c_str(), &made) != 0 || listen(fd, 16) != 0) {
    const int e = errno;
    close(fd);
    unlink(name.c_str());
    throw OperatorChannelError("cannot set up the control socket " + name + ": " + ErrnoText(e));
  }
  SetNonBlockingCloexec(fd);
  state_->fd = fd;
  state_->dev = made.st_dev;
  state_->ino = made.st_ino;
  state_->gid = made.st_gid;
}

OperatorListener::~OperatorListener() {
  Close();
  close(state_->fd);
  // Only our own socket goes: whatever replaced it meanwhile is someone else's.
  struct stat st {};
  if (lstat(name_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == state_->dev && st.st_ino == state_->ino)
    unlink(name_.c_str());
}

void OperatorListener::Close() {
  if (state_->closed.exchange(true)) return;
  shutdown(state_->fd, SHUT_RDWR);
}

std::unique_ptr<OperatorLink> OperatorListener::Accept(int timeoutMs) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  int fd = -1;
  while (fd < 0) {
    if (state_->closed.load()) return nullptr;
    // Short slices: Close wakes the wait on Linux, and the flag ends it elsewhere.
    const int left = RemainingMs(deadline);
    if (left <= 0) return nullptr;
    pollfd pfd{state_->fd, POLLIN, 0};
    if (poll(&pfd, 1, left < 200 ? left : 200) <= 0) continue;
    if (state_->closed.load()) return nullptr;
    fd = accept(state_->fd, nullptr, nullptr);
    if (fd < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) return nullptr;
  }
  SetNonBlockingCloexec(fd);
  auto link = std::make_unique<PosixLink>(fd);

  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    link->admitted_ = false;
    link->peer_ = "unknown peer";
    link->refusal_ = "the peer's credentials cannot be read: " + ErrnoText(errno);
    return link;
  }
  link->peer_ = "uid " + std::to_string(cred.uid) + ", pid " + std::to_string(cred.pid);
  // The group that may use the door is the socket file's, as it is now: an operator may change
  // it while the server runs.
  gid_t group = state_->gid;
  struct stat st {};
  if (lstat(name_.c_str(), &st) == 0 && st.st_dev == state_->dev && st.st_ino == state_->ino) group = st.st_gid;
  bool admitted = cred.uid == 0 || cred.uid == geteuid() || cred.gid == group;
  if (!admitted) {
    std::vector<gid_t> groups;
    if (!ProcessGroups(cred.pid, groups)) AccountGroups(cred.uid, cred.gid, groups);
    for (gid_t g : groups) admitted = admitted || g == group;
  }
  link->admitted_ = admitted;
  if (!admitted)
    link->refusal_ =
        "uid " + std::to_string(cred.uid) + " is neither root, the server's account, nor in group " + GroupName(group);
  return link;
}

std::unique_ptr<OperatorLink> ConnectOperatorChannel(const std::string& name, int timeoutMs) {
  sockaddr_un address{};
  if (!FillAddress(name, address))
    throw OperatorChannelError("the socket path " + name + " is empty or longer than " +
                               std::to_string(sizeof address.sun_path - 1) + " bytes");
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw OperatorChannelError("cannot make a Unix socket: " + ErrnoText(errno));
  // A local connect completes at once or fails; a full backlog is retried until the time-out.
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
    const int e = errno;
    if ((e == EAGAIN || e == EINTR) && RemainingMs(deadline) > 0) {
      poll(nullptr, 0, 10);
      continue;
    }
    close(fd);
    if (e == ENOENT) throw OperatorChannelError("no server socket at " + name + " (is the server running?)");
    if (e == EACCES)
      throw OperatorChannelError("permission denied: " + name +
                                 " (run as the server's account, root, or a member of the socket's group)");
    if (e == ECONNREFUSED) throw OperatorChannelError("no server is listening on " + name);
    throw OperatorChannelError("cannot connect to " + name + ": " + ErrnoText(e));
  }
  SetNonBlockingCloexec(fd);
  return std::make_unique<PosixLink>(fd);
}

std::string DefaultOperatorChannel(const std::string& iniPath, uint16_t) {
  const size_t slash = iniPath.find_last_of('/');
  const size_t dot = iniPath.find_last_of('.');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (extension ? iniPath.substr(0, dot) : iniPath) + ".sock";
}

std::string PackagedOperatorChannel() { return "/run/quillmoot/qmserver.sock"; }

bool OperatorChannelExists(const std::string& name) {
  struct stat st {};
  return stat(name.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace qm::platform
